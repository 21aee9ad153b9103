// halvix/observe/src/Switch.h - switching observation on, and the clock of
// observed instants (internal).
//
// Observation has three levels, each an ObserverHooks table that the lower
// modules find through one relaxed load (halvix/src/ObserverHooks.h): none (null),
// counting (a table without functions), and counting with a timeline (a
// table whose functions record events). Counting, once on, stays on.
#ifndef HALVIX_OBSERVE_SRC_SWITCH_H
#define HALVIX_OBSERVE_SRC_SWITCH_H

#include <cstdint>

namespace halvix::observe::detail {

// When counting began (monotonicNowNs); 0 before.
int64_t countingSinceNs();
// Counting plus the timeline's recording functions, or counting alone.
void switchTimelineHooks(bool on);

// Observed ticks now, on the clock the installed tables chose (counting on).
int64_t nowTicks();

// Turns spans of observed ticks into nanoseconds. The rate is measured
// between the start of counting and the making of the scale, so one scale
// serves a whole snapshot or timeline and keeps their spans consistent.
class TickScale
{
public:
    TickScale();
    int64_t toNs(int64_t ticks) const;

private:
    double nsPerTick;
};

}  // namespace halvix::observe::detail

#endif  // HALVIX_OBSERVE_SRC_SWITCH_H
