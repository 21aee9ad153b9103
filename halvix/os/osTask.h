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
// the thread runs. Joining a task from its own thread stops the process
// (assertion); joining or destroying one task from two threads at once is a
// caller error. An attached record lives until osTaskDetach on its thread; a
// thread that ends without it leaves the record allocated.
//
// Shutdown of a joinable task: make its entry return (the Task layer writes
// a terminate request into its queue), then osTaskJoin for the result, then
// osTaskDestroy. A detached task can only be cancelled: osTaskDestroy ends it
// at once, wherever it is (asynchronous cancellation), so destroy it only
// while its entry still runs and holds no lock or resource others need.
//
// The OS layer never throws. Broken preconditions and refused POSIX calls
// that leave a record unusable stop the process through an assertion, after
// the trace "pthread error %d\n" (DBG_LEVEL_LOG, domain "dbg").
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
    int64_t stacksize;   // usable stack in bytes; -1 and 0: no request (see osTaskCreate)
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
// name, lowest priority, no stack size request). The task's options are a
// copy, normalised: stacksize below -1 stops the process; under a real-time
// task policy priority 0 becomes 1 and a priority outside
// 1..osTaskGetMaxPriority() stops the process, as does a process that may not
// create real-time threads; under time-sharing the priority becomes 0. A
// joinable task is persistent. Never null.
//
// Stack: a request (stacksize above 0, raised to at least 131072) is usable
// stack: the thread is created with that much on top of the process's static
// thread-local data, which glibc places at the top of every thread's stack,
// so a program with much thread_local data neither loses its stack to it nor
// has thread creation refused. Without a request (-1, 0 or null options) the
// thread gets the platform's default stack (the default thread attributes,
// which glibc takes from RLIMIT_STACK, typically 8 MiB; only touched pages
// cost memory). Either way the options read back the normalised request:
// 131072 for -1, 0 and anything smaller, else the request itself.
HALVIX_API void* osTaskCreate(osTaskEntry_t entry, osTaskOptions_t* options, void* arg);
// Waits for a joinable task's thread and returns the entry's result; null at
// once if the task was joined before.
HALVIX_API void* osTaskJoin(osTask_t task);
// Joins a joinable task (cancels a detached one) and releases its record.
HALVIX_API void osTaskDestroy(osTask_t task);
// The calling thread's record, attaching one if it has none: the same record
// on every call from one thread; the record of a created task on its thread.
HALVIX_API void* osTaskSelf();
// Gives the calling thread a record if it has none (empty name, priority 0,
// not joinable); returns the thread's record.
HALVIX_API void* osTaskAttach();
// Releases the calling thread's attached record; the next osTaskSelf attaches
// a fresh one. Only for attached records (never on a created task's thread).
HALVIX_API void osTaskDetach();
// The task's live options (normalised copy).
HALVIX_API osTaskOptions_t* osTaskGetOptions(osTask_t task);
// The recorded priority (options.priority).
HALVIX_API int osTaskGetPriority(osTask_t task);
// Records a priority, 0..osTaskGetMaxPriority() (assertion), for the task
// and for a thread created from its attributes; a running thread keeps the
// scheduling it was created with. Under a real-time policy 0 stands for the
// lowest priority (1); under time-sharing every priority is recorded as 0.
HALVIX_API void osTaskSetPriority(osTask_t task, int priority);
// The number of layer priorities of the task policy: 99 for SCHED_FIFO and
// SCHED_RR on Linux, 0 for SCHED_OTHER.
HALVIX_API int osTaskGetMaxPriority();
// Sets the calling thread's scheduling and the policy of tasks created from
// now on (earlier tasks keep theirs); true. An unknown policy code or a
// refusal stops the process. Must not overlap osTaskCreate on other threads.
HALVIX_API bool osSetSchedPolicy(osSchedPolicy_t policy);
// The calling thread sleeps numMs milliseconds (>= 0); `task` is not used.
HALVIX_API void osTaskSleep(osTask_t task, long numMs);
// Always -1.
HALVIX_API int osTaskIsInInterruptContext();

// Off by default. When on, every task created afterwards hands the first 15
// bytes of its options' name (cut before a split UTF-8 character) to the OS
// from its own thread (pthread_setname_np), so top -H, ps -L, gdb and perf
// show it; a task with an empty name keeps the name it inherits. The options'
// name field means what it always did; only this switch shows it. Any
// thread may switch it at any time; a task created while it changes may or
// may not show its name.
HALVIX_API void osTaskShowNames(bool on);

// The calling thread's last error, kept in its record (each thread sees only
// its own): get (and clear to 0), set, test (without clearing).
HALVIX_API unsigned int osGetLastError();
HALVIX_API void osSetLastError(unsigned int code);
HALVIX_API bool osIsError();

}  // namespace halvix::os

#endif  // HALVIX_OS_OSTASK_H
