// halvix/timer/src/TimerRegistry.h - the registry of live timers by id (internal).
#ifndef HALVIX_TIMER_SRC_TIMERREGISTRY_H
#define HALVIX_TIMER_SRC_TIMERREGISTRY_H

#include "halvix/timer/Timer.h"

#include <map>
#include <mutex>

namespace halvix::timer::registry {

using Map = std::map<unsigned int, Timer*>;

// The timer registry, locked for the caller's scope. It is read by every
// queue consumer that executes a timeout and changed by whichever thread
// creates or destroys a timer, so it carries a lock of its own. Never report
// an error or call into application code while holding it.
class Locked
{
public:
    Locked();
    Map& map() { return entries; }

private:
    std::lock_guard<std::mutex> lock;
    Map& entries;
};

}  // namespace halvix::timer::registry

#endif  // HALVIX_TIMER_SRC_TIMERREGISTRY_H
