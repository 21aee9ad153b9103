// Queue: registration, writes and forwarding, reads, the registry printer and teardown.
#include "halvix/queue/Queue.h"

#include "halvix/error/Error.h"
#include "halvix/error/Report.h"
#include "halvix/os/osQueue.h"
#include "halvix/queue/src/QueueCollection.h"
#include "halvix/queue/src/QueueLinks.h"
#include "halvix/src/Assert.h"
#include "halvix/src/LabelledLine.h"
#include "halvix/src/ObserverHooks.h"
#include "halvix/src/QueueCounters.h"
#include "halvix/src/RegistryPrinting.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <sstream>

namespace halvix::queue {

using command::Macro;
using error::Error;

namespace {

using Printing = singleton::RegistryPrinting<collection::Map>;

// Removes the first `value` from `list`; says whether it was there.
bool eraseOne(std::vector<Queue*>& list, const Queue* value)
{
    auto found = std::find(list.begin(), list.end(), value);
    if (found == list.end()) {
        return false;
    }
    list.erase(found);
    return true;
}

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

// WRITE_ERROR: QueueNames.cpp.

Queue::Queue(const std::string& queueName, unsigned long macroSlots)
    : name(queueName), maxMacros(macroSlots), queueHandle(nullptr),
      queueSelectionAlgorithm(selectLeastUtilizedQueue), links(new Links)
{
    // A capacity the store cannot hold stops the process before anything is
    // registered, as 0 does in the store beneath: a capacity is fixed in the
    // program, so a bad one is a broken precondition, not a failure to report
    // and go on from. The store counts its slots in an int, and the low 32
    // bits it would keep of a larger value wrap silently (2^32 + 5 would give
    // 5 slots, 2^32 - 1 the default); only the all-ones value means the default.
    // clang-format off
    HALVIX_ASSERT(maxMacros <= INT_MAX || maxMacros == ULONG_MAX);
    // clang-format on
    bool registered = false;
    {
        collection::Locked queues;
        if (queues.map().count(queueName) == 0) {
            // The all-ones value becomes -1, the OS layer's default size.
            queueHandle = os::osQueueCreate(static_cast<int>(macroSlots));
            queues.map()[queueName] = this;
            registered = true;
        }
    }
    // Reported outside the lock: a strategy may look queues up itself.
    if (!registered) {
        delete links;
        HALVIX_THROW("Queue", Error::ALREADY_EXISTS, Error::ERROR,
                     "Queue '" + queueName +
                         "' is already in the Queue Collection (i.e., name is not unique).");
    }
}

Queue::~Queue()
{
    cleanUp();
    delete links;
}

bool Queue::store(const Macro* macroPtr, int timeout)
{
    // The sole reader cannot make room while it waits here itself: waiting
    // without limit would never end, so it gets one try.
    if (timeout == -1 && soleReader.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        timeout = 0;
    }
    // The store carries untyped pointers; the reader gets the macro back as
    // the mutable object it is.
    void* message = const_cast<Macro*>(macroPtr);
    // Counting costs a write nothing: the OS queue counts what it stores and
    // its reader keeps the high-water mark. Only a timeline looks closer.
    const internal::ObserverHooks* hooks = internal::currentObserverHooks();
    if (hooks == nullptr || hooks->queueWaited == nullptr || timeout == 0) {
        return os::osQueueWrite(queueHandle, message, timeout);
    }
    return storeRecorded(message, timeout, *hooks);
}

bool Queue::storeRecorded(void* message, int timeout, const internal::ObserverHooks& hooks)
{
    // A first try that does not wait tells a write that had to wait for room.
    if (os::osQueueWrite(queueHandle, message, 0)) {
        return true;
    }
    // Copied now: once the write has published the macro, the queue may be
    // gone.
    char queueName[64] = "";
    std::strncpy(queueName, name.c_str(), sizeof(queueName) - 1);
    const int64_t beginNs = internal::monotonicNowNs();
    const int64_t begin = internal::observedTicks(hooks);
    const bool stored = os::osQueueWrite(queueHandle, message, timeout);
    // A slot that frees up while the write still spins is no full queue
    // worth a mark in the timeline.
    if (internal::monotonicNowNs() - beginNs >= internal::NOTABLE_WAIT_NS) {
        hooks.queueWaited(queueName, begin, internal::observedTicks(hooks));
    }
    return stored;
}

bool Queue::write(const Macro* macroPtr, int timeout)
{
    if (macroPtr == nullptr) {
        HALVIX_THROW("write", Error::NULL_PTR, Error::ERROR,
                     "Null pointer (macroPtr) passed to Queue::write for queue '" + name + "'.");
    }
    bool accepted = false;
    bool selected = true;
    if (numQueuesToForwardTo.load(std::memory_order_acquire) == 0) {
        accepted = store(macroPtr, timeout);
    } else {
        // Held until the target has the macro (or refused it): a target that
        // stopForwardingTo removes is never accepted after that call returned.
        SharedGuard guard(links->guard);
        if (queuesToForwardTo.empty()) {
            accepted = store(macroPtr, timeout);  // the last target went meanwhile
        } else {
            // The default selection reads the list in place: the copy that the
            // selection function's signature asks for would cost an allocation
            // on every forwarded write, for the same choice.
            Queue* target = queueSelectionAlgorithm == selectLeastUtilizedQueue
                                ? leastUtilized(queuesToForwardTo)
                                : queueSelectionAlgorithm(macroPtr, queuesToForwardTo);
            selected = target != nullptr;
            accepted = selected && target->write(macroPtr, timeout);
        }
    }
    if (!selected) {
        HALVIX_REPORT("write", Error::NULL_PTR, Error::ERROR,
                      "No forwarding queue selected to write macro '" + macroPtr->getName() + "' to queue '" +
                          name + "'.");
        return false;
    }
    if (!accepted) {
        HALVIX_REPORT("write", WRITE_ERROR, Error::ERROR,
                      "Could not write macro '" + macroPtr->getName() + "' to queue '" + name + "'.");
    }
    return accepted;
}

bool Queue::storeQuietly(const Macro* macroPtr, int timeout)
{
    return macroPtr != nullptr && store(macroPtr, timeout);
}

void Queue::setSoleReader(std::thread::id reader)
{
    soleReader.store(reader, std::memory_order_relaxed);
}

bool Queue::read(Macro*& macroPtr, int timeout)
{
    macroPtr = nullptr;
    void* message = nullptr;
    // While observation is on, the read keeps the high-water mark.
    const bool taken = internal::currentObserverHooks() == nullptr
                           ? os::osQueueRead(queueHandle, &message, timeout)
                           : os::internal::osQueueReadMarking(queueHandle, &message, timeout);
    macroPtr = static_cast<Macro*>(message);
    return taken;
}

unsigned long Queue::size() const
{
    return static_cast<unsigned long>(os::osQueueSize(queueHandle));
}

void Queue::setQueueSelectionAlgorithm(Queue* (*const& algorithm)(const Macro*, std::vector<Queue*>))
{
    if (algorithm == nullptr) {
        HALVIX_THROW("setQueueSelectionAlgorithm", Error::NULL_PTR, Error::ERROR,
                     "Null pointer (algorithm) passed to Queue::setQueueSelectionAlgorithm for queue '" +
                         name + "'.");
    }
    ExclusiveGuard guard(links->guard);
    queueSelectionAlgorithm = algorithm;
}

// By value, as every selection function receives its list (SelectionAlgorithm).
// NOLINTNEXTLINE(performance-unnecessary-value-param)
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
    Queue* target = const_cast<Queue*>(queuePtr);
    bool added = false;
    {
        ExclusiveGuard guard(links->guard);
        if (std::find(queuesToForwardTo.begin(), queuesToForwardTo.end(), target) ==
            queuesToForwardTo.end()) {
            std::lock_guard<std::mutex> lock(linksMutex());
            queuesToForwardTo.push_back(target);
            target->links->sources.push_back(this);
            numQueuesToForwardTo.store(queuesToForwardTo.size(), std::memory_order_release);
            added = true;
        }
    }
    if (!added) {
        HALVIX_REPORT("startForwardingTo", Error::ALREADY_EXISTS, Error::WARNING,
                      "Already forwarding macros written to queue '" + name + "' to queue '" +
                          queuePtr->getName() + "'.");
    }
}

void Queue::stopForwardingTo(const Queue* queuePtr)
{
    if (queuePtr == nullptr) {
        HALVIX_THROW("stopForwardingTo", Error::NULL_PTR, Error::ERROR,
                     "Null pointer (queuePtr) passed to Queue::stopForwardingTo.");
    }
    bool removed;
    {
        ExclusiveGuard guard(links->guard);  // waits for the writes in flight
        std::lock_guard<std::mutex> lock(linksMutex());
        removed = eraseOne(queuesToForwardTo, queuePtr);
        if (removed) {
            eraseOne(queuePtr->links->sources, this);
            numQueuesToForwardTo.store(queuesToForwardTo.size(), std::memory_order_release);
            linksChanged().notify_all();
        }
    }
    if (!removed) {
        HALVIX_REPORT("stopForwardingTo", Error::DOES_NOT_EXIST, Error::WARNING,
                      "Not forwarding macros written to queue '" + name + "' to queue '" +
                          queuePtr->getName() + "'.");
    }
}

void Queue::stopForwardingFromEverySource(const std::function<bool()>& mayDrain)
{
    std::unique_lock<std::mutex> lock(linksMutex());
    while (!links->sources.empty()) {
        // A source whose own cleanUp has begun leaves this list by itself
        // (its writers are over by then); wait for it rather than pin it.
        auto live = std::find_if(links->sources.begin(), links->sources.end(),
                                 [](const Queue* source) { return !source->links->dying; });
        if (live == links->sources.end()) {
            linksChanged().wait(lock);
            continue;
        }
        Queue* source = *live;
        ++source->links->pins;  // the source stays until this detach is done
        lock.unlock();
        {
            // Writers may wait for room in this queue while they hold the
            // source's guard; when nobody reads this queue any more, making
            // room is the only way they finish.
            ExclusiveGuard guard(source->links->guard, [this, &mayDrain] {
                if (mayDrain()) {
                    drainAutoDeleteMacros();
                }
            });
            lock.lock();
            if (eraseOne(source->queuesToForwardTo, this)) {
                source->numQueuesToForwardTo.store(source->queuesToForwardTo.size(),
                                                   std::memory_order_release);
            }
            eraseOne(links->sources, source);
            --source->links->pins;
            linksChanged().notify_all();
            lock.unlock();
        }
        lock.lock();
    }
}

void Queue::leaveTargets()
{
    std::unique_lock<std::mutex> lock(linksMutex());
    links->dying = true;
    // A target's detach may hold a pin while it waits for this queue's guard.
    linksChanged().wait(lock, [this] { return links->pins == 0; });
    for (Queue* target : queuesToForwardTo) {
        eraseOne(target->links->sources, this);
    }
    queuesToForwardTo.clear();
    numQueuesToForwardTo.store(0, std::memory_order_release);
    linksChanged().notify_all();
}

void Queue::drainAutoDeleteMacros()
{
    Macro* macroPtr = nullptr;
    while (read(macroPtr, 0)) {
        if (macroPtr != nullptr && macroPtr->isAutoDelete()) {
            delete macroPtr;
        }
    }
}

uint64_t Queue::getWritten() const
{
    return os::internal::osQueueWritten(queueHandle);
}

uint64_t Queue::getHighWater() const
{
    // The reads' mark misses only what waits now, unread.
    return std::max<uint64_t>(os::internal::osQueueHighWater(queueHandle), size());
}

std::size_t Queue::copyFacts(const std::string* after, std::size_t limit, std::vector<Facts>& out)
{
    collection::Locked queues;
    auto entry = after == nullptr ? queues.map().begin() : queues.map().upper_bound(*after);
    std::size_t copied = 0;
    for (; entry != queues.map().end() && copied < limit; ++entry, ++copied) {
        const Queue& queue = *entry->second;
        Facts facts{queue.name, queue.size(), queue.maxMacros, queue.getHighWater(), queue.getWritten(), {}};
        {
            // The links lock, not the forwarding guard: a forwarded write
            // may hold the guard while it waits for room in a full target.
            std::lock_guard<std::mutex> lock(linksMutex());
            for (const Queue* target : queue.queuesToForwardTo) {
                facts.forwardsTo.push_back(target->getName());
            }
        }
        out.push_back(std::move(facts));
    }
    return copied;
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
    Printing::Printer printer;  // no queue printed here is destroyed meanwhile
    for (const Queue* queue : printer.entries()) {
        os << *queue << std::endl;
    }
    return os;
}

std::ostream& Queue::output(std::ostream& os) const
{
    using utils::outputLabelledLine;
    SelectionAlgorithm algorithmNow;
    std::vector<std::string> targets;
    {
        SharedGuard guard(links->guard);
        algorithmNow = queueSelectionAlgorithm;
        for (const Queue* target : queuesToForwardTo) {
            targets.push_back(target->getName());
        }
    }
    std::ostringstream algorithm;
    algorithm << "0x" << std::hex << reinterpret_cast<std::uintptr_t>(algorithmNow);
    outputLabelledLine(os, "Name", utils::quoted(name));
    outputLabelledLine(os, "Max. macros", std::to_string(maxMacros));
    outputLabelledLine(os, "Queue handle", queueHandle);
    outputLabelledLine(os, "Queue selection alg.", algorithm.str()) << std::dec;
    os << "Queues to forward to:" << std::endl;
    for (const std::string& target : targets) {
        os << "    " << target << std::endl;
    }
    return os;
}

void Queue::cleanUp()
{
    if (queueHandle == nullptr) {
        return;  // already cleaned up
    }
    Printing::leave(name, this);
    // Nobody reads this queue any more: room made by draining lets a writer
    // that waits for it finish, so its source can let go of this queue.
    stopForwardingFromEverySource([] { return true; });
    leaveTargets();
    drainAutoDeleteMacros();
    os::osQueueDestroy(queueHandle);
    queueHandle = nullptr;
}

std::ostream& operator<<(std::ostream& os, const Queue& queue)
{
    return queue.output(os);
}

}  // namespace halvix::queue
