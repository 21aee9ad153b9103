// halvix/observe/src/Switch.h - switching observation on (internal).
//
// Observation has three levels, each an ObserverHooks table that the lower
// modules find through one relaxed load (halvix/src/ObserverHooks.h): none (null),
// counting (a table without functions), and counting with a timeline (a
// table whose functions record events). Counting, once on, stays on.
#ifndef HALVIX_OBSERVE_SRC_SWITCH_H
#define HALVIX_OBSERVE_SRC_SWITCH_H

#include <cstdint>

namespace halvix::observe::detail {

// When counting began (observedNowNs); 0 before.
int64_t countingSinceNs();
// Counting plus the timeline's recording functions, or counting alone.
void switchTimelineHooks(bool on);

}  // namespace halvix::observe::detail

#endif  // HALVIX_OBSERVE_SRC_SWITCH_H
