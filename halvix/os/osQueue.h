// halvix/os/osQueue.h - bounded FIFO message queues of pointers, counting
// semaphores, and a sleep that survives signals.
//
// A message queue carries opaque void* messages, first in first out, through
// a fixed ring of slots. It never looks at, copies or frees a message; null is
// stored like any other. Writes and reads allocate nothing. Any number of
// threads may write and read at once; each writer's messages keep their order.
// Time-outs follow halvix/os/osMutex.h (-1 no limit, 0 poll, >0 that long in
// total; see Time-outs below).
//
// Ownership: the creator owns the handle; destroying a queue or semaphore
// while a thread waits in it is a caller error. A message belongs to the
// reader that takes it; messages still stored at destruction are not touched:
// drain first if they must be released.
//
// Memory ordering: whatever a writer did before a write happens before the
// read that takes its message; whatever a thread did before a give happens
// before the take that gets that unit.
//
// Time-outs: a full queue makes a write wait for a free slot, an empty one
// makes a read wait for a message, an empty semaphore makes a take wait for a
// unit. A positive time-out is one deadline for the whole call, taken on
// CLOCK_MONOTONIC when the call first has to wait: a waiter woken by a give
// (or write, or read) but beaten to it by another waits on to the same
// deadline, not afresh. So a time-out never ends early and ends late only by
// the time a sleeping thread takes to wake; a waiter woken at its deadline
// still takes what is there. A time-out or a poll that fails changes nothing.
// Before it sleeps, a waiter watches for a few microseconds; a thread that
// may run on one CPU only does so only while another waiting thread of the
// process may run on another CPU (else its partner shares its CPU, and
// watching would only delay it). There is no fairness among waiters. At
// DBG_LEVEL_LOG a wait that ran out traces "pthread error 110" under
// osConditionWait, as it always has.
//
// Teardown: a write or give that made its message or unit available touches
// the queue or semaphore no more, so the thread that takes it may destroy the
// object at once, while the writer or giver is still returning.
#ifndef HALVIX_OS_OSQUEUE_H
#define HALVIX_OS_OSQUEUE_H

#include <halvix/Export.h>

namespace halvix::os {

typedef void* osSemaphore_t;

// A queue of maxMessages slots; -1 gives the default of 32 slots (no queue is
// unbounded). 0 and values below -1 fail an assertion.
HALVIX_API void* osQueueCreate(int maxMessages);
HALVIX_API void osQueueDestroy(void* queue);
// True when stored; false when no slot freed up within the time-out.
HALVIX_API bool osQueueWrite(void* queue, void* message, long timeoutMs);
// True when a message was taken into *message; false (and *message null)
// when none arrived within the time-out.
HALVIX_API bool osQueueRead(void* queue, void** message, long timeoutMs);
// Messages stored now: a snapshot, between 0 and the capacity, in which a
// write or read in flight may count either way (writers waiting for a slot
// are not counted).
HALVIX_API int osQueueSize(void* queue);

// A semaphore with `initialCount` units; any value is accepted, and a count
// of zero or below makes every take wait until gives raise it above zero. The
// count lies in [-(2^47), 2^47 - 1]: an initial value outside is clamped to
// that range, and at most 65535 threads wait in one semaphore at once.
HALVIX_API osSemaphore_t osSemaphoreCreate(long initialCount);
HALVIX_API void osSemaphoreDestroy(osSemaphore_t semaphore);
// True when a unit was taken within the time-out; a time-out below -1 fails
// an assertion.
HALVIX_API bool osSemaphoreTake(osSemaphore_t semaphore, long lMsBeforeTimeout);
// Adds one unit (up to 2^47 - 1) and wakes one waiting taker, if any.
HALVIX_API void osSemaphoreGive(osSemaphore_t semaphore);

// Sleeps `ms` (>= 0) milliseconds, resuming after signals for the time left;
// always true. Checks nothing: osTaskSleep is the checked entry.
HALVIX_API bool __thread_safe_sleep(long ms);

}  // namespace halvix::os

#endif  // HALVIX_OS_OSQUEUE_H
