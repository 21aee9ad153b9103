// halvix/timer/src/TimerRegistry.h - the registry of live timers by id (internal).
#ifndef HALVIX_TIMER_SRC_TIMERREGISTRY_H
#define HALVIX_TIMER_SRC_TIMERREGISTRY_H

#include "halvix/src/LockedRegistry.h"
#include "halvix/timer/Timer.h"

#include <map>

namespace halvix::timer::registry {

// A type of its own, hidden: SingletonT<Map> takes the visibility of its
// argument, so the registry's instance stays inside the shared object and an
// application cannot reach it without the registry's lock.
struct HALVIX_INTERNAL Map : std::map<unsigned int, Timer*>
{
};

// The timer registry, locked for the caller's scope. The map owns no timer.
using Locked = singleton::LockedRegistry<Map>;

}  // namespace halvix::timer::registry

#endif  // HALVIX_TIMER_SRC_TIMERREGISTRY_H
