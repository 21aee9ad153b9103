// halvix/os/src/taskRecord.h - the task record and the task storage (internal).
//
// Shared by the files that create and end tasks (posixTask.cpp), keep each
// thread's record in thread-specific storage (taskStorage.cpp) and map
// priorities onto POSIX scheduling (taskScheduling.cpp).
#ifndef HALVIX_OS_SRC_TASKRECORD_H
#define HALVIX_OS_SRC_TASKRECORD_H

#include "halvix/dbg/dbg.h"
#include "halvix/os/osTask.h"
#include "halvix/os/src/osCheck.h"
#include "halvix/src/Assert.h"

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace halvix::os {

// One per created task or attached thread; value-initialised (all zero).
struct osPosixTask_t
{
    // Set once the thread has been joined. Written by the joiner after
    // pthread_join and read by later joins and destroys, which may run on
    // another controlling thread: release/acquire, so whoever sees it set also
    // sees the end of the thread.
    std::atomic<bool> joined;
    pthread_t thread;           // zero in an attached record
    pthread_attr_t attributes;  // never initialised in an attached record
    osTaskEntry_t entry;
    osTaskOptions_t options;  // the task's normalised copy
    void* arg;
    int32_t policy;      // POSIX policy of tasks when this one was created; 0 when attached
    uint32_t lastError;  // written and read by the record's own thread only
};

// Smallest stack a task asks for; smaller requests (and -1, 0) read back as
// it. The library's own timer threads ask for it: they only wait and call
// back.
constexpr int64_t minimumTaskStackSize = 131072;

// The size to create a thread with so that it has `stacksize` bytes of
// usable stack: the request plus the static TLS that glibc takes out of the
// top of every thread's stack.
size_t threadStackSize(int64_t stacksize);

// POSIX policy for tasks created from now on (SCHED_OTHER at start). Written
// by osSetSchedPolicy, read by osTaskCreate and osTaskGetMaxPriority on any
// thread; relaxed, as it publishes nothing but itself.
extern std::atomic<int32_t> taskPolicy;

inline bool isRealTimePolicy(int policy)
{
    return policy == SCHED_FIFO || policy == SCHED_RR;
}

// Counts one use of the storage key, creating the key when the count was 0.
void _initTaskStorage();
// Gives back the use of a created task's record and destroys its attributes:
// deletes the key when the count drops to 0. Returns 0 or the code of the
// first refused call; the caller traces and stops on a refusal, in its own
// name. Does not free the record.
int releaseTaskStorage(osPosixTask_t* pTask);
// Makes pTask the calling thread's record; 0 or the refusal's code.
int bindTaskRecord(osPosixTask_t* pTask);

}  // namespace halvix::os

// Trace a refused POSIX call whose result is in the local `status` and go on
// (the refusals that leave nothing unusable). A macro, so that the trace names
// the operation that made the call. Refusals that must stop the process use
// HALVIX_OS_CHECK (osCheck.h).
#define HALVIX_OS_TRACE_REFUSAL()                                                                            \
    do {                                                                                                     \
        if (status != 0) {                                                                                   \
            DBG_LOG("dbg", "pthread error %d\n", status);                                                    \
        }                                                                                                    \
    } while (0)

#endif  // HALVIX_OS_SRC_TASKRECORD_H
