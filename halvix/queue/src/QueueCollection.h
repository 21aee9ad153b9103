// halvix/queue/src/QueueCollection.h - the registry of queues by name (internal).
#ifndef HALVIX_QUEUE_SRC_QUEUECOLLECTION_H
#define HALVIX_QUEUE_SRC_QUEUECOLLECTION_H

#include "halvix/queue/Queue.h"
#include "halvix/src/LockedRegistry.h"

#include <map>
#include <string>

namespace halvix::queue::collection {

// A type of its own, hidden: SingletonT<Map> takes the visibility of its
// argument, so the registry's instance stays inside the shared object and an
// application cannot reach it without the registry's lock.
struct HALVIX_INTERNAL Map : std::map<std::string, Queue*>
{
};

// The Queue Collection, locked for the caller's scope. The map owns no queue.
using Locked = singleton::LockedRegistry<Map>;

}  // namespace halvix::queue::collection

#endif  // HALVIX_QUEUE_SRC_QUEUECOLLECTION_H
