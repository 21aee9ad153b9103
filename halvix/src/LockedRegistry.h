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
#include "halvix/src/ThreadSafety.h"

namespace halvix::singleton {

template <typename Map>
class HALVIX_SCOPED_CAPABILITY LockedRegistry
{
public:
    LockedRegistry() HALVIX_ACQUIRE(m_mutex) : entries(*SingletonT<Map>::getInstancePtr()) { m_mutex.lock(); }
    ~LockedRegistry() HALVIX_RELEASE() { m_mutex.unlock(); }
    LockedRegistry(const LockedRegistry&) = delete;
    LockedRegistry& operator=(const LockedRegistry&) = delete;

    Map& map() { return entries; }

    // One lock per registry type, the first in the library's lock order
    // (halvix/src/ThreadSafety.h). Constant-initialised, so usable from any
    // static initialiser, and never destroyed in effect (std::mutex's
    // destructor does nothing), so usable while the process exits.
    static inline internal::Mutex m_mutex;

private:
    Map& entries;
};

}  // namespace halvix::singleton

#endif  // HALVIX_SRC_LOCKEDREGISTRY_H
