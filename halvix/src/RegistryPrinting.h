// halvix/src/RegistryPrinting.h - printing a registry's entries
// without holding its lock (internal).
//
// outputQueues and outputTasks print every entry through its virtual
// output(), which a derived class may override with code that looks the
// registry up itself: the registry lock must not cover it. A printer therefore
// copies the entries under the registry lock and prints the copy after
// releasing it, while it holds this registry's printing lock shared; an entry
// leaves the registry (leave) holding it exclusively. So no entry of a copy
// leaves, and none is destroyed, before the printer has printed it.
//
// Rule that follows: an output() called by a registry printer must not
// destroy an entry of that registry (its leave would wait for the printer).
#ifndef HALVIX_SRC_REGISTRYPRINTING_H
#define HALVIX_SRC_REGISTRYPRINTING_H

#include "halvix/src/LockedRegistry.h"

#include <mutex>
#include <shared_mutex>
#include <vector>

namespace halvix::singleton {

template <typename Map>
class RegistryPrinting
{
public:
    using Entry = typename Map::mapped_type;

    // Holds the printing lock shared for its scope; entries() may be called
    // within it as often as needed.
    class Printer
    {
    public:
        Printer() : lock(printingMutex()) {}

        // The registered entries in map order.
        std::vector<Entry> entries()
        {
            LockedRegistry<Map> registry;
            std::vector<Entry> copy;
            copy.reserve(registry.map().size());
            for (const auto& entry : registry.map()) {
                copy.push_back(entry.second);
            }
            return copy;
        }

    private:
        std::shared_lock<std::shared_mutex> lock;
    };

    // Removes the entry of `key` if it is `entry` (a failed construction
    // never entered it; a clashing object must not remove the first one's
    // entry), once no printer is at work.
    static void leave(const typename Map::key_type& key, Entry entry)
    {
        std::unique_lock<std::shared_mutex> printing(printingMutex());
        LockedRegistry<Map> registry;
        auto found = registry.map().find(key);
        if (found != registry.map().end() && found->second == entry) {
            registry.map().erase(found);
        }
    }

private:
    // Never destroyed: objects may leave their registry from threads that
    // still run while the process exits.
    static std::shared_mutex& printingMutex()
    {
        static std::shared_mutex* mutex = new std::shared_mutex;
        return *mutex;
    }
};

}  // namespace halvix::singleton

#endif  // HALVIX_SRC_REGISTRYPRINTING_H
