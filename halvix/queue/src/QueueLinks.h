// halvix/queue/src/QueueLinks.h - a queue's forwarding guard and the queues
// that forward to it (internal).
//
// Every forwarded write holds its queue's guard shared from the choice of the
// target to the end of the write into it; every change of the queue's
// targets or selection function holds it exclusively (ForwardingGuard.h).
//
// The reverse links (sources) let a queue that goes away leave every
// forwarding list naming it, and are guarded by one process-wide mutex. Lock
// order: a queue's guard, then the links mutex; the links mutex is never held
// while waiting for a guard.
#ifndef HALVIX_QUEUE_SRC_QUEUELINKS_H
#define HALVIX_QUEUE_SRC_QUEUELINKS_H

#include "halvix/queue/Queue.h"
#include "halvix/queue/src/ForwardingGuard.h"

#include <condition_variable>
#include <mutex>
#include <vector>

namespace halvix::queue {

struct Queue::Links
{
    ForwardingGuard guard;  // see above
    // Guarded by linksMutex():
    std::vector<Queue*> sources;  // queues that forward to this one
    int pins = 0;                 // detaches waiting for this queue's guard
    bool dying = false;           // cleanUp began: no new pins
};

// Guards every queue's sources, pins and dying, and the pairing of a change
// of queuesToForwardTo with the matching change of the target's sources.
// Never destroyed: queues may go away while the process exits.
std::mutex& linksMutex();
// Notified whenever sources lists or pins change.
std::condition_variable& linksChanged();

}  // namespace halvix::queue

#endif  // HALVIX_QUEUE_SRC_QUEUELINKS_H
