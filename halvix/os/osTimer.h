// halvix/os/osTimer.h - one-shot timers that call back on a thread of their own.
//
// A timer owns one thread for its whole life. osTimerStart arms it; when the
// delay has passed (CLOCK_MONOTONIC) the callback runs once on the timer
// thread, with the timer's own handle, unless osTimerStop came first. The
// callback may start its own timer again, which is how repeating timers are
// built; it may also stop it and read or set its data, but it must not
// destroy it (that would join its own thread).
//
// The delay counts from the accepted osTimerStart itself: the deadline is
// taken there, so waking the timer thread does not add to it. A timer never
// fires early. A wake-up of the thread that no stop caused is waited out to
// the same deadline.
//
// Shutdown: osTimerDestroy stops the timer, ends and joins its thread, and
// frees everything; a callback that is running finishes first, and no
// callback runs after it returns. Destroy from any thread but the timer's own.
//
// The timer layer neither throws nor traces; broken preconditions stop the
// process through assertions.
#ifndef HALVIX_OS_OSTIMER_H
#define HALVIX_OS_OSTIMER_H

#include <halvix/Export.h>
#include <halvix/os/osTask.h>

namespace halvix::os {

typedef void* osTimer_t;

// A stopped timer and its thread. `options` (see osTaskCreate) may be null;
// an empty name becomes "Timer@<callback address>:ID<n>", n counting the
// default names of the process from 1 (distinct also when timers are created
// on several threads at once). The thread is always joinable. Without a stack
// size request it asks for the small minimum, 131072 bytes of usable stack:
// it only waits and calls back, and a service may own many timers. A
// callback that needs more asks for it in `options`.
HALVIX_API void* osTimerCreate(void (*callback)(void*), osTaskOptions_t* options);
// Arms the timer for numMs (>= 0) milliseconds unless it is armed already, in
// which case it keeps its delay.
HALVIX_API void osTimerStart(osTimer_t timer, long numMs);
// Disarms the timer; a stop followed by a start before the thread noticed the
// stop restarts it with the new delay.
HALVIX_API void osTimerStop(osTimer_t timer);
// Stops the timer and releases it and its thread (see Shutdown above).
HALVIX_API void osTimerDestroy(osTimer_t timer);
// The application's pointer, null until set; set only while the timer is not
// armed (assertion), for instance from its own callback.
HALVIX_API void osTimerSetData(osTimer_t timer, void* data);
HALVIX_API void* osTimerGetData(osTimer_t timer);
// The timer thread's task; its options carry the creator's `reserved`.
HALVIX_API osTask_t osTimerGetTask(osTimer_t timer);

}  // namespace halvix::os

#endif  // HALVIX_OS_OSTIMER_H
