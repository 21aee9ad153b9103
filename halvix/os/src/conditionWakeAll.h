// halvix/os/src/conditionWakeAll.h - a broadcast and an absolute-deadline wait
// for callers that manage the bound mutex themselves (internal).
#ifndef HALVIX_OS_SRC_CONDITIONWAKEALL_H
#define HALVIX_OS_SRC_CONDITIONWAKEALL_H

#include "halvix/os/osMutex.h"

#include <time.h>

namespace halvix::os::internal {

// Wakes every waiter of `condition` without taking its bound mutex, for a
// caller that has just released it. A waiter wakes into a free mutex rather
// than into one its waker still holds, which would cost it a second sleep on
// the mutex and a second wake-up (the woken thread often runs at once, on the
// waker's CPU). Waking after the release is safe when the waiters registered
// under the mutex, as the caller knows they are waiting. A failure of the
// broadcast is traced and stops the process, as in osConditionBroadcast.
void conditionWakeAll(osCondition_t condition);

// Waits on `condition` with its bound mutex held until woken or until the
// CLOCK_MONOTONIC `deadline`: true when woken (possibly spuriously), false
// once the deadline has passed. For a caller that keeps one deadline across
// wake-ups: a millisecond time-out recomputed after each wake-up would round
// and drift. A deadline that has passed already returns false at once,
// without waiting (so there is no time-out to trace). Results other than a
// wake-up are traced as osConditionWait traces them; a failure other than
// the time-out is reported as a wake-up, so the caller tests its predicate
// again.
bool conditionWaitUntil(osCondition_t condition, const struct timespec& deadline);

}  // namespace halvix::os::internal

#endif  // HALVIX_OS_SRC_CONDITIONWAKEALL_H
