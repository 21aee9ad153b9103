// halvix/os/src/conditionWakeAll.h - a broadcast for callers that manage the
// bound mutex themselves (internal).
#ifndef HALVIX_OS_SRC_CONDITIONWAKEALL_H
#define HALVIX_OS_SRC_CONDITIONWAKEALL_H

#include "halvix/os/osMutex.h"

namespace halvix::os::internal {

// Wakes every waiter of `condition` without taking its bound mutex, for a
// caller that has just released it. A waiter wakes into a free mutex rather
// than into one its waker still holds, which would cost it a second sleep on
// the mutex and a second wake-up (the woken thread often runs at once, on the
// waker's CPU). Waking after the release is safe when the waiters registered
// under the mutex, as the caller knows they are waiting. A failure of the
// broadcast is traced and stops the process, as in osConditionBroadcast.
void conditionWakeAll(osCondition_t condition);

}  // namespace halvix::os::internal

#endif  // HALVIX_OS_SRC_CONDITIONWAKEALL_H
