// The table pointer by which observe reaches queues, Tasks and timers (null while off).
#include "halvix/src/ObserverHooks.h"

namespace halvix::queue::internal {

// Constant-initialised, so usable from any thread at any time; never destroyed.
std::atomic<const ObserverHooks*> observerHooks{nullptr};

}  // namespace halvix::queue::internal
