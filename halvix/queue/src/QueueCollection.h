// halvix/queue/src/QueueCollection.h - the registry of queues by name (internal).
#ifndef HALVIX_QUEUE_SRC_QUEUECOLLECTION_H
#define HALVIX_QUEUE_SRC_QUEUECOLLECTION_H

#include "halvix/queue/Queue.h"
#include "halvix/src/LockedRegistry.h"

#include <map>
#include <string>

namespace halvix::queue::collection {

// The Queue Collection, locked for the caller's scope. The map owns no queue.
using Locked = singleton::LockedRegistry<std::map<std::string, Queue*>>;

}  // namespace halvix::queue::collection

#endif  // HALVIX_QUEUE_SRC_QUEUECOLLECTION_H
