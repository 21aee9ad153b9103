#include "halvix/timer/src/TimerRegistry.h"

#include "halvix/singleton/SingletonT.h"

namespace halvix::timer::registry {

namespace {

std::mutex registryMutex;  // constant-initialised: usable at any time

}  // namespace

Locked::Locked() : lock(registryMutex), entries(*singleton::SingletonT<Map>::getInstancePtr()) {}

}  // namespace halvix::timer::registry
