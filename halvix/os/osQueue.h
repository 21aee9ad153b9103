// halvix/os/osQueue.h - bounded FIFO message queues of pointers, counting
// semaphores, and a sleep that survives signals.
//
// A message queue carries opaque void* messages, first in first out, through
// a fixed ring of slots. It never looks at, copies or frees a message; null is
// stored like any other. Writes and reads allocate nothing. Any number of
// threads may write and read at once; each writer's messages keep their order.
// Time-outs follow halvix/os/osMutex.h (-1 no limit, 0 poll, >0 at most that
// long per single wait).
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
// makes a read wait for a message; neither holds a lock while waiting, and a
// time-out never ends early. Each single wait gets the
// whole time-out: a taker woken by a give but beaten to the unit by another
// waits afresh, so with several takers the total can exceed the time-out.
// There is no fairness among waiters.
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
// Messages stored now (writers waiting for a slot are not counted).
HALVIX_API int osQueueSize(void* queue);

// A semaphore with `initialCount` units; any value is accepted, and a count
// of zero or below makes every take wait until gives raise it above zero.
HALVIX_API osSemaphore_t osSemaphoreCreate(long initialCount);
HALVIX_API void osSemaphoreDestroy(osSemaphore_t semaphore);
// True when a unit was taken within the time-out; a time-out below -1 fails
// an assertion.
HALVIX_API bool osSemaphoreTake(osSemaphore_t semaphore, long lMsBeforeTimeout);
// Adds one unit (there is no upper bound) and wakes the takers waiting: one
// gets the unit, the others wait again.
HALVIX_API void osSemaphoreGive(osSemaphore_t semaphore);

// Sleeps `ms` (>= 0) milliseconds, resuming after signals for the time left;
// always true. Checks nothing: osTaskSleep is the checked entry.
HALVIX_API bool __thread_safe_sleep(long ms);

}  // namespace halvix::os

#endif  // HALVIX_OS_OSQUEUE_H
