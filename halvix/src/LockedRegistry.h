// halvix/src/LockedRegistry.h - a process-wide registry with a lock
// of its own (internal).
//
// The Queue Collection, the Task Collection and the timer registry are each a
// SingletonT<Map> that several threads read and change: a Task looks itself up
// from its own thread, every timeout delivery looks its timer up on the
// consumer's thread, while other threads build and destroy queues, Tasks and
// timers. LockedRegistry<Map> holds the registry's lock for the scope of the
// object. Never report an error or call application code while holding it: a
// strategy or a callback may look the registry up itself.
#ifndef HALVIX_SRC_LOCKEDREGISTRY_H
#define HALVIX_SRC_LOCKEDREGISTRY_H

#include "halvix/singleton/SingletonT.h"

#include <mutex>

namespace halvix::singleton {

template <typename Map>
class LockedRegistry
{
public:
    LockedRegistry() : lock(registryMutex()), entries(*SingletonT<Map>::getInstancePtr()) {}

    Map& map() { return entries; }

private:
    // One lock per registry type; constant-initialised, so usable from any
    // static initialiser.
    static std::mutex& registryMutex()
    {
        static std::mutex mutex;
        return mutex;
    }

    std::lock_guard<std::mutex> lock;
    Map& entries;
};

}  // namespace halvix::singleton

#endif  // HALVIX_SRC_LOCKEDREGISTRY_H
