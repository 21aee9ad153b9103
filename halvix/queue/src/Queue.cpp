#include "halvix/queue/Queue.h"

#include "halvix/error/Error.h"
#include "halvix/error/Report.h"
#include "halvix/os/osQueue.h"
#include "halvix/queue/src/QueueCollection.h"
#include "halvix/utils/src/LabelledLine.h"

#include <algorithm>
#include <cstdint>
#include <sstream>

namespace halvix::queue {

using command::Macro;
using error::Error;

namespace {

// The first queue with the fewest macros, ties to the earlier one; an empty
// queue is taken at once. Sizes are read afresh at every comparison.
Queue* leastUtilized(const std::vector<Queue*>& queues)
{
    if (queues.empty()) {
        return nullptr;
    }
    Queue* best = queues.front();
    for (Queue* candidate : queues) {
        if (best->size() == 0) {
            return best;
        }
        if (candidate->size() < best->size()) {
            best = candidate;
        }
    }
    return best;
}

}  // namespace

const std::string Queue::WRITE_ERROR = "QueueWriteError";

Queue::Queue(const std::string& name, unsigned long maxMacros)
    : name(name), maxMacros(maxMacros), queueHandle(nullptr),
      queueSelectionAlgorithm(selectLeastUtilizedQueue)
{
    bool registered = false;
    {
        collection::Locked queues;
        if (queues.map().count(name) == 0) {
            // The low 32 bits as a signed count: the all-ones value becomes
            // -1, the OS layer's default size.
            queueHandle = os::osQueueCreate(static_cast<int>(maxMacros));
            queues.map()[name] = this;
            registered = true;
        }
    }
    // Reported outside the lock: a strategy may look queues up itself.
    if (!registered) {
        HALVIX_THROW("Queue", Error::ALREADY_EXISTS, Error::ERROR,
                     "Queue '" + name + "' is already in the Queue Collection (i.e., name is not unique).");
    }
}

Queue::~Queue()
{
    cleanUp();
}

bool Queue::write(const Macro* macroPtr, int timeout)
{
    if (macroPtr == nullptr) {
        HALVIX_THROW("write", Error::NULL_PTR, Error::ERROR,
                     "Null pointer (macroPtr) passed to Queue::write for queue '" + name + "'.");
    }
    bool written;
    if (queuesToForwardTo.empty()) {
        // The store carries untyped pointers; the reader gets the macro back
        // as the mutable object it is.
        written = os::osQueueWrite(queueHandle, const_cast<Macro*>(macroPtr), timeout);
    } else {
        // The default selection reads the list in place: the copy that the
        // selection function's signature asks for would cost an allocation
        // on every forwarded write, for the same choice.
        Queue* target = queueSelectionAlgorithm == selectLeastUtilizedQueue
                            ? leastUtilized(queuesToForwardTo)
                            : queueSelectionAlgorithm(macroPtr, queuesToForwardTo);
        if (target == nullptr) {
            HALVIX_REPORT("write", Error::NULL_PTR, Error::ERROR,
                          "No forwarding queue selected to write macro '" + macroPtr->getName() +
                              "' to queue '" + name + "'.");
            return false;
        }
        written = target->write(macroPtr, timeout);
    }
    if (!written) {
        HALVIX_REPORT("write", WRITE_ERROR, Error::ERROR,
                      "Could not write macro '" + macroPtr->getName() + "' to queue '" + name + "'.");
    }
    return written;
}

bool Queue::read(Macro*& macroPtr, int timeout)
{
    macroPtr = nullptr;
    void* message = nullptr;
    const bool taken = os::osQueueRead(queueHandle, &message, timeout);
    macroPtr = static_cast<Macro*>(message);
    return taken;
}

unsigned long Queue::size() const
{
    return static_cast<unsigned long>(os::osQueueSize(queueHandle));
}

void Queue::setQueueSelectionAlgorithm(Queue* (*const& algorithm)(const Macro*, std::vector<Queue*>))
{
    queueSelectionAlgorithm = algorithm;
}

Queue* Queue::selectLeastUtilizedQueue(const Macro*, std::vector<Queue*> queues)
{
    return leastUtilized(queues);
}

void Queue::startForwardingTo(const Queue* queuePtr)
{
    if (queuePtr == nullptr) {
        HALVIX_THROW("startForwardingTo", Error::NULL_PTR, Error::ERROR,
                     "Null pointer (queuePtr) passed to Queue::startForwardingTo.");
    }
    if (std::find(queuesToForwardTo.begin(), queuesToForwardTo.end(), queuePtr) != queuesToForwardTo.end()) {
        HALVIX_REPORT("startForwardingTo", Error::ALREADY_EXISTS, Error::WARNING,
                      "Already forwarding macros written to queue '" + name + "' to queue '" +
                          queuePtr->getName() + "'.");
        return;
    }
    queuesToForwardTo.push_back(const_cast<Queue*>(queuePtr));
}

void Queue::stopForwardingTo(const Queue* queuePtr)
{
    if (queuePtr == nullptr) {
        HALVIX_THROW("stopForwardingTo", Error::NULL_PTR, Error::ERROR,
                     "Null pointer (queuePtr) passed to Queue::stopForwardingTo.");
    }
    auto target = std::find(queuesToForwardTo.begin(), queuesToForwardTo.end(), queuePtr);
    if (target == queuesToForwardTo.end()) {
        HALVIX_REPORT("stopForwardingTo", Error::DOES_NOT_EXIST, Error::WARNING,
                      "Not forwarding macros written to queue '" + name + "' to queue '" +
                          queuePtr->getName() + "'.");
        return;
    }
    queuesToForwardTo.erase(target);
}

Queue* Queue::getQueuePtr(const std::string& name)
{
    {
        collection::Locked queues;
        auto entry = queues.map().find(name);
        if (entry != queues.map().end()) {
            return entry->second;
        }
    }
    // Reported outside the lock: a strategy may look queues up itself.
    HALVIX_REPORT("getQueuePtr", Error::DOES_NOT_EXIST, Error::WARNING,
                  "Queue '" + name + "' does not exist.");
    return nullptr;
}

std::ostream& Queue::outputQueues(std::ostream& os)
{
    os << "*** Current queues are:" << std::endl;
    collection::Locked queues;
    for (const auto& entry : queues.map()) {
        os << *entry.second << std::endl;
    }
    return os;
}

std::ostream& Queue::output(std::ostream& os) const
{
    using utils::outputLabelledLine;
    std::ostringstream algorithm;
    algorithm << "0x" << std::hex << reinterpret_cast<std::uintptr_t>(queueSelectionAlgorithm);
    outputLabelledLine(os, "Name", utils::quoted(name));
    outputLabelledLine(os, "Max. macros", std::to_string(maxMacros));
    outputLabelledLine(os, "Queue handle", queueHandle);
    outputLabelledLine(os, "Queue selection alg.", algorithm.str()) << std::dec;
    os << "Queues to forward to:" << std::endl;
    for (const Queue* target : queuesToForwardTo) {
        os << "    " << target->getName() << std::endl;
    }
    return os;
}

void Queue::cleanUp()
{
    if (queueHandle == nullptr) {
        return;  // already cleaned up
    }
    {
        collection::Locked queues;
        auto entry = queues.map().find(name);
        if (entry != queues.map().end() && entry->second == this) {
            queues.map().erase(entry);
        }
    }
    Macro* macroPtr = nullptr;
    while (read(macroPtr, 0)) {
        if (macroPtr != nullptr && macroPtr->isAutoDelete()) {
            delete macroPtr;
        }
    }
    os::osQueueDestroy(queueHandle);
    queueHandle = nullptr;
}

std::ostream& operator<<(std::ostream& os, const Queue& queue)
{
    return queue.output(os);
}

}  // namespace halvix::queue
