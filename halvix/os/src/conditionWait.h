// halvix/os/src/conditionWait.h - an absolute-deadline wait on a condition,
// for callers that manage the bound mutex themselves, and the name under
// which every wait of the OS layer traces (internal).
#ifndef HALVIX_OS_SRC_CONDITIONWAIT_H
#define HALVIX_OS_SRC_CONDITIONWAIT_H

#include "halvix/os/osMutex.h"

#include <time.h>

namespace halvix::os::internal {

// Every wait traces under this one name, whichever entry point waited (a
// condition, the timer's expiry, a semaphore or queue parked on a futex): to
// whoever reads the trace, each is a condition wait like any other. One
// object, inline, so that consecutive lines of waits compact as lines of one
// function do.
inline constexpr char CONDITION_WAIT_TRACE_NAME[] = "osConditionWait";

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

#endif  // HALVIX_OS_SRC_CONDITIONWAIT_H
