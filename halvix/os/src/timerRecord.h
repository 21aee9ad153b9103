// halvix/os/src/timerRecord.h - the record behind an osTimer_t (internal).
#ifndef HALVIX_OS_SRC_TIMERRECORD_H
#define HALVIX_OS_SRC_TIMERRECORD_H

#include "halvix/os/osMutex.h"
#include "halvix/os/osQueue.h"
#include "halvix/os/osTimer.h"
#include "halvix/src/ThreadSafety.h"

#include <time.h>

#include <cstdint>

namespace halvix::os {

// A timer's mutex: an osMutex_t that the lock analysis knows as a lock. Third
// in the library's lock order: a Timer's delivery lock may be held when it is
// taken (halvix/src/ThreadSafety.h).
typedef osMutex_t HALVIX_CAPABILITY("mutex") osTimerMutex_t;

struct osPosixTimer_t
{
    osTimerMutex_t mutex;          // guards timeoutMs, deadline, running, terminate, data, generation
    osCondition_t condition;       // over mutex: the expiry wait; osTimerStop wakes it
    osSemaphore_t startSemaphore;  // one unit per accepted start and one at destruction
    osTask_t task;                 // the timer thread (joinable)
    int64_t timeoutMs HALVIX_GUARDED_BY(mutex);  // delay of the current start; guarded by mutex
    // When the current start expires, on CLOCK_MONOTONIC; taken by the start
    // itself, so the timer thread's own wake-up does not add to the delay.
    // Guarded by mutex.
    struct timespec deadline HALVIX_GUARDED_BY(mutex);
    bool running HALVIX_GUARDED_BY(mutex);    // armed; guarded by mutex
    bool terminate HALVIX_GUARDED_BY(mutex);  // the thread must end; guarded by mutex
    void (*callback)(void*);                  // called with the timer's handle
    void* data HALVIX_GUARDED_BY(mutex);      // the application's pointer; guarded by mutex
    // Raised by every stop of an armed timer and every accepted start; guarded
    // by mutex. The thread remembers it when it begins a wait: a changed value
    // on wake-up means the start it was serving is over (stopped, perhaps
    // restarted), an unchanged one means a wake-up that nobody asked for.
    uint64_t generation HALVIX_GUARDED_BY(mutex);
};

}  // namespace halvix::os

#endif  // HALVIX_OS_SRC_TIMERRECORD_H
