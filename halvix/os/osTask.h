// halvix/os/osTask.h - threads of execution (tasks) on POSIX threads.
//
// A task is a thread with a name, a priority, a stack size and a pointer for
// the application (`reserved`, by which a Task or Timer finds itself on its
// thread). Each thread has one task record in thread-specific storage; a
// thread the library did not create (main, for one) gets an attached record
// on first use. The record also keeps the thread's last error code.
//
// Priorities run from 1 to osTaskGetMaxPriority() under a real-time policy
// (SCHED_FIFO, SCHED_RR: 99 on Linux); under time-sharing (SCHED_OTHER, the
// default) there are none and every priority is 0.
//
// Life cycle: a joinable task's record lives until osTaskDestroy (which joins
// first if nobody did); a detached task's record is released by its own
// thread when the entry function returns, so its handle is valid only while
// the thread runs. Joining or destroying one task from two threads at once,
// or a task from its own thread, is a caller error (assertion).
#ifndef HALVIX_OS_OSTASK_H
#define HALVIX_OS_OSTASK_H

#include <halvix/Export.h>

#include <cstdint>

namespace halvix::os {

typedef void* osTask_t;
typedef void* (*osTaskEntry_t)(void*);

// Creation options, copied by osTaskCreate.
struct osTaskOptions_t
{
    char name[128];      // for the application's own use; NUL-terminated
    int32_t priority;    // 1..osTaskGetMaxPriority() under a real-time policy (0 stands for 1)
    int64_t stacksize;   // bytes; -1 and 0 mean the default; raised to at least 131072
    int32_t persistent;  // set by osTaskCreate for every joinable task; callers pass 0
    int32_t joinable;    // non-zero: joinable; zero: detached
    void* reserved;      // passed through untouched
};

// Scheduling for osSetSchedPolicy. Policy codes: 1 SCHED_OTHER, 2 SCHED_FIFO,
// 3 SCHED_RR.
struct osSchedPolicy_t
{
    int32_t policy;      // the calling thread's policy from now on
    int32_t priority;    // its POSIX priority under a real-time policy
    int32_t taskPolicy;  // the policy of tasks created from now on
};

// Starts a thread running entry(arg); `options` may be null (detached, empty
// name, lowest priority, default stack).
HALVIX_API void* osTaskCreate(osTaskEntry_t entry, osTaskOptions_t* options, void* arg);
// Waits for a joinable task's thread and returns the entry's result; null at
// once if the task was joined before.
HALVIX_API void* osTaskJoin(osTask_t task);
// Joins a joinable task (cancels a detached one) and releases its record.
HALVIX_API void osTaskDestroy(osTask_t task);
// The calling thread's record, attaching one if it has none.
HALVIX_API void* osTaskSelf();
HALVIX_API void* osTaskAttach();
// Releases the calling thread's attached record.
HALVIX_API void osTaskDetach();
// The task's live options (normalised copy).
HALVIX_API osTaskOptions_t* osTaskGetOptions(osTask_t task);
HALVIX_API int osTaskGetPriority(osTask_t task);
// Records a priority for the task; a running thread keeps the scheduling it
// was created with.
HALVIX_API void osTaskSetPriority(osTask_t task, int priority);
HALVIX_API int osTaskGetMaxPriority();
// Sets the calling thread's scheduling and the policy of later tasks; true.
HALVIX_API bool osSetSchedPolicy(osSchedPolicy_t policy);
// The calling thread sleeps numMs milliseconds (>= 0); `task` is not used.
HALVIX_API void osTaskSleep(osTask_t task, long numMs);
// Always -1.
HALVIX_API int osTaskIsInInterruptContext();

// The calling thread's last error: get (and clear), set, test.
HALVIX_API unsigned int osGetLastError();
HALVIX_API void osSetLastError(unsigned int code);
HALVIX_API bool osIsError();

}  // namespace halvix::os

#endif  // HALVIX_OS_OSTASK_H
