// halvix/queue/src/QueueCollection.h - the registry of queues by name (internal).
#ifndef HALVIX_QUEUE_SRC_QUEUECOLLECTION_H
#define HALVIX_QUEUE_SRC_QUEUECOLLECTION_H

#include "halvix/queue/Queue.h"

#include <map>
#include <mutex>
#include <string>

namespace halvix::queue::collection {

using Map = std::map<std::string, Queue*>;

// The Queue Collection, locked for the caller's scope. The map owns no queue.
// Queues are created and destroyed on any thread (a Task builds its event
// queue wherever the Task is built), so the map carries a lock of its own.
class Locked
{
public:
    Locked();
    Map& map() { return entries; }

private:
    std::lock_guard<std::mutex> lock;
    Map& entries;
};

}  // namespace halvix::queue::collection

#endif  // HALVIX_QUEUE_SRC_QUEUECOLLECTION_H
