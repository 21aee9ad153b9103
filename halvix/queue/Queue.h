// halvix/queue/Queue.h - named, bounded queues of macros, with forwarding.
//
// Threads hand work to each other through Queues: a writer stores a macro, a
// reader (usually a Task's event loop) takes it and executes it. Every queue
// is registered under its unique name in the process-wide Queue Collection,
// so any code can find it with getQueuePtr.
//
// Forwarding: once a queue has targets (startForwardingTo), each macro
// written to it goes to one of them, picked by the queue's selection
// function; the default, selectLeastUtilizedQueue, picks the target holding
// the fewest macros, so several Tasks behind one queue form a pool of workers.
// A target that forwards passes the macro on in its turn.
//
// Ownership of macros:
//   - a successful write hands the macro to whoever reads it;
//   - a failed write (full queue within the time-out, no target selected)
//     reports the failure and leaves the macro with the writer: the queue
//     never deletes a macro it did not store;
//   - a queue destroyed while macros wait in it deletes the auto-delete ones
//     and leaves the others alone.
//
// Time-outs are milliseconds: -1 waits without limit, 0 does not wait, a
// positive value waits that long in total, from one deadline for the whole
// call on the monotonic clock: it never ends early, and late only by the time
// a sleeping thread takes to wake.
//
// Failures are reported through the "Error" strategies (halvix/error): a null
// macro or target and a duplicate name are thrown; a failed write, an unknown
// name and a forwarding change that changes nothing are only reported.
//
// Inputs that stop the process (an assertion, as a broken precondition;
// README.md, Pitfalls, lists them for every module):
//   - a capacity outside 1..2147483647 other than (unsigned long)-1, the
//     default: 0 in the OS queue beneath, any larger value in the constructor
//     before anything is registered (the OS queue counts slots in an int);
//   - a time-out below -1 given to write or read.
//
// Concurrency:
//   - write, read and size may run on any number of threads at once.
//   - Forwarding may change while other threads write: a forwarded write
//     holds the queue's forwarding guard shared while it chooses its target
//     and writes to it, and startForwardingTo, stopForwardingTo and
//     setQueueSelectionAlgorithm hold it exclusively. So a target removed by
//     stopForwardingTo is never written through this queue once the call has
//     returned; the call waits for the forwarded writes in flight, including
//     one that waits for room in a full target. Writes that arrive meanwhile
//     wait for the change, unless it has itself waited a few milliseconds:
//     then they go first, as they may be what makes that room (a Task
//     writing into the pool that feeds it). The selection function and a
//     target's write run under the guard: they must not change the
//     forwarding of this queue.
//   - The Queue Collection is guarded by a lock of its own, so queues may be
//     created, destroyed and looked up from several threads; a queue found
//     with getQueuePtr must still outlive its use. outputQueues prints without
//     that lock (output may look queues up), and a queue being destroyed
//     waits for the printing to end: an output() must not destroy a queue.
//   - Shutdown order: stop every thread that reads or writes a queue before
//     destroying it. A queue being destroyed leaves the forwarding lists
//     that name it (waiting for the writes in flight to it, and deleting the
//     auto-delete macros it holds if a writer waits for room in it) and
//     leaves the targets it forwarded to. The forwarding relation must stay
//     free of cycles.
#ifndef HALVIX_QUEUE_QUEUE_H
#define HALVIX_QUEUE_QUEUE_H

#include <halvix/Export.h>
#include <halvix/command/Macro.h>
#include <halvix/queue/WriteableQueue.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace halvix::queue {

namespace internal {
struct ObserverHooks;
}  // namespace internal

class HALVIX_API Queue : public WriteableQueue
{
public:
    // Picks the target of a forwarded write; null means none.
    typedef Queue* (*SelectionAlgorithm)(const command::Macro*, std::vector<Queue*>);

    // The error type of a failed write: "QueueWriteError".
    static const std::string WRITE_ERROR;

    // Registers the queue and creates its store of maxMacros slots (the
    // all-ones value, (unsigned long)-1, gives the default of 32 slots). A
    // name already registered is reported and thrown ("AlreadyExists"):
    // nothing is created.
    Queue(const std::string& name, unsigned long maxMacros);
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    // cleanUp().
    ~Queue() override;

    // Stores the macro here, or forwards it when the queue has targets.
    // A null macro is reported and thrown ("NullPtr"). False, with a report,
    // when no target was selected ("NullPtr") or the macro could not be
    // stored within the time-out ("QueueWriteError"; a failed forwarded write
    // is reported by the target first, then by this queue).
    bool write(const command::Macro* macroPtr, int timeout) override;

    // Takes the oldest macro stored in this queue, waiting up to the time-out;
    // false and a null macroPtr when none came. A forwarding queue stores
    // nothing, so reading it yields only macros stored before it forwarded.
    bool read(command::Macro*& macroPtr, int timeout);

    // Macros stored in this queue now.
    unsigned long size() const;

    const std::string& getName() const { return name; }
    unsigned long getMaxMacros() const { return maxMacros; }
    unsigned long getNumQueuesToForwardTo() const
    {
        return numQueuesToForwardTo.load(std::memory_order_acquire);
    }

    // Replaces this queue's selection function. A null function would crash
    // the next forwarded write, so it is reported and thrown ("NullPtr") and
    // the previous function stays, as for every other null argument of a
    // queue operation.
    void setQueueSelectionAlgorithm(Queue* (*const& algorithm)(const command::Macro*, std::vector<Queue*>));

    // The first queue with the fewest macros (ties to the earlier one; an
    // empty queue is taken at once); null for an empty list.
    static Queue* selectLeastUtilizedQueue(const command::Macro* macroPtr, std::vector<Queue*> queues);

    // Appends a target. Null is reported and thrown; a target already in the
    // list is reported as a warning ("AlreadyExists") and nothing changes.
    void startForwardingTo(const Queue* queuePtr);

    // Removes a target. Null is reported and thrown; a target not in the list
    // is reported as a warning ("DoesNotExist").
    void stopForwardingTo(const Queue* queuePtr);

    // The queue registered under `name`; null, with a warning, if none.
    static Queue* getQueuePtr(const std::string& name);

    // "*** Current queues are:", then every queue in name order, each followed
    // by an empty line. Called without the Queue Collection's lock, so an
    // output() may look queues up; it must not destroy one.
    static std::ostream& outputQueues(std::ostream& os);

    // Name, capacity, store handle, selection function and targets, one per line.
    virtual std::ostream& output(std::ostream& os) const;

    // Unregisters the queue, leaves every forwarding list (see Concurrency),
    // deletes the auto-delete macros still stored and releases the store.
    // Done once; the destructor calls it.
    void cleanUp();

    // --- For the library's own modules (Tasks), not for applications ---
    // Hidden in the shared object: only the library itself can call them.

    // Names the one thread that reads this queue, or none (a default id). A
    // write with time-out -1 by that very thread into this queue when it is
    // full could never complete: it is answered at once as a failed write
    // (reported, false) instead. A Task's event loop names its thread while
    // it runs.
    HALVIX_INTERNAL void setSoleReader(std::thread::id reader);

    // Makes every queue that forwards to this one stop doing so, each as
    // stopForwardingTo does (waiting for the writes in flight to this queue).
    // While it waits and mayDrain() holds, it deletes the auto-delete macros
    // stored here, so that a writer waiting for room in this queue, which
    // nobody reads any more, can finish.
    HALVIX_INTERNAL void stopForwardingFromEverySource(const std::function<bool()>& mayDrain);

    // Stores the macro in this queue itself (never forwarding), waiting up
    // to the time-out; a failure is answered with false only, unreported:
    // for a caller that retries, as a Task's destructor waiting for room for
    // its termination request.
    HALVIX_INTERNAL bool storeQuietly(const command::Macro* macroPtr, int timeout);

    // --- Counters for halvix/observe, kept only while observation is on ---

    // Macros stored in this queue itself since it was made (a forwarding
    // queue counts none), and the most it held at once while observation
    // was on (reads keep that mark; what waits unread now counts too).
    uint64_t getWritten() const;
    uint64_t getHighWater() const;

    // What a snapshot shows of one queue, copied under the Queue Collection's
    // lock.
    struct Facts
    {
        std::string name;
        unsigned long size;
        unsigned long maxMacros;
        uint64_t highWater;
        uint64_t written;
        std::vector<std::string> forwardsTo;
    };
    // Appends the facts of at most `limit` registered queues, in name order,
    // starting after the name `*after` (from the first when null); returns
    // how many it appended. Holds the registry's lock for one call only, so
    // a caller walks a large registry in slices.
    HALVIX_INTERNAL static std::size_t copyFacts(const std::string* after, std::size_t limit,
                                                 std::vector<Facts>& out);

private:
    struct Links;  // forwarding guard and reverse links (src/QueueLinks.h)

    HALVIX_INTERNAL bool store(const command::Macro* macroPtr, int timeout);
    // store() while a timeline records: tells `hooks` of a write that waited.
    HALVIX_INTERNAL bool storeRecorded(void* message, int timeout, const internal::ObserverHooks& hooks);
    HALVIX_INTERNAL void drainAutoDeleteMacros();
    HALVIX_INTERNAL void leaveTargets();

    std::string name;
    unsigned long maxMacros;
    void* queueHandle;  // the OS message queue holding the macros
    // Not owned; empty: writes are stored here. Guarded by the forwarding
    // guard in links (shared to read, exclusive to change).
    std::vector<Queue*> queuesToForwardTo;
    SelectionAlgorithm queueSelectionAlgorithm;  // guarded like queuesToForwardTo
    // queuesToForwardTo.size(), for the unguarded test of a write that stores
    // here. Release on change, acquire on read: a writer that sees targets
    // then takes the guard, which orders the list itself.
    std::atomic<unsigned long> numQueuesToForwardTo{0};
    // The thread that alone reads this queue; relaxed, as each thread only
    // compares it with itself and a Task sets it on its own thread.
    std::atomic<std::thread::id> soleReader{};
    Links* links;  // owned
};

HALVIX_API std::ostream& operator<<(std::ostream& os, const Queue& queue);

}  // namespace halvix::queue

#endif  // HALVIX_QUEUE_QUEUE_H
