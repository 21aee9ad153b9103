// halvix/queue/src/ForwardingGuard.h - a reader-writer guard whose shared
// side costs a forwarded write no read-modify-write of a shared word
// (internal).
//
// Every write through a forwarding queue holds the queue's guard shared;
// every change of its targets or selection function holds it exclusively. A
// reader-writer lock costs each forwarded write two atomic read-modify-writes
// of one word shared by every writer of the queue, whose cache line then
// passes between the writers' CPUs: measured here (bench/queue_bench,
// forwardedWritesFromTwo), two threads forwarding at once paid 30-75 ns a
// write more with a pthread rwlock than with this guard, on writes of
// 220-300 ns. Changes are rare (a Task coming or going), so the guard makes
// them pay instead.
//
// The shared side: each thread owns a record of the guards it holds shared
// (a few slots, one per level of forwarding in progress). A write stores the
// guard's address in its next slot, passes a light barrier, and looks at the
// guard's `changing` flag; when none is set it proceeds, and it clears the
// slot (a release store) when its write is done. When a change is set it
// clears the slot and waits for the change to end before it tries again:
// changes are preferred, so a steady stream of writes cannot keep a
// stopForwardingTo (a Task going away) waiting for ever.
//
// One exception keeps that preference from closing a circle. A change waits
// for the writes in flight, one of which may wait for room in a full target;
// the room may only come from a write that now waits for the change (a
// worker that writes into the pool feeding it, and reads its own queue only
// after that write). So a change that has waited a slice for the writes in
// flight while writes wait for it opens a window: it clears `changing` until
// the waiting writes have taken their slots (or a short bound passes), then
// sets it again, passes the barrier anew and waits for those writes too.
// Nothing guarded has changed while writes are in flight, so a write let
// through reads the guarded data as it was.
//
// The exclusive side: a change takes the guard's change mutex, sets
// `changing`, passes a heavy barrier, and waits until no thread's record
// holds the guard. The two barriers together make sure that a write and a
// change never both miss each other: either the change sees the write's slot
// and waits for it, or the write sees `changing` and steps back. The heavy
// barrier is the membarrier system call, which makes every running thread
// of the process pass a full memory barrier, so the light one only keeps the
// compiler from reordering; where the call is missing, and under
// ThreadSanitizer (which does not know it), the slot's store and the flag's
// load are sequentially consistent instead (on x86 the store is then a
// locked exchange; on aarch64 both are cheap). A change
// polls for the writes in flight to end (with a growing pause): a write in
// flight touches nothing of the guard once it cleared its slot, so the queue
// may go away at once.
//
// More nested shared holds than a record has slots, and a thread whose record
// is gone (its thread-local storage is being destroyed), fall back to a
// counter of the guard, changed by sequentially consistent read-modify-writes.
#ifndef HALVIX_QUEUE_SRC_FORWARDINGGUARD_H
#define HALVIX_QUEUE_SRC_FORWARDINGGUARD_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace halvix::queue {

class ForwardingGuard
{
public:
    ForwardingGuard();
    ForwardingGuard(const ForwardingGuard&) = delete;
    ForwardingGuard& operator=(const ForwardingGuard&) = delete;

    // Holds the guard shared; returns the slot taken (null: the counter), to
    // be given back to unlockShared.
    std::atomic<const ForwardingGuard*>* lockShared();
    void unlockShared(std::atomic<const ForwardingGuard*>* slot);

    // Holds the guard exclusively. The second form waits in slices of a few
    // milliseconds and calls `betweenSlices` after each one that ended
    // without the guard.
    void lock();
    void lock(const std::function<void()>& betweenSlices);
    void unlock();

private:
    // Sets `changing` and passes the heavy barrier.
    void beginChange();
    // The shared side's wait while `changing` is set; `counted` says whether
    // this hold already counts among the waiting writes.
    void awaitChangeEnd(bool& counted);
    // A waiting write has its slot (or its count): it leaves the waiters.
    void stopWaiting();
    // Lets the waiting writes through for a moment (see the top of the file).
    void openWindow();
    // Clears `changing` and wakes the waiting writes.
    void endChange();
    // Polls until no shared holder is left, calling `betweenSlices` (if any)
    // every slice.
    void awaitReaders(const std::function<void()>* betweenSlices);
    bool hasReaders() const;

    const bool asymmetric;                 // the heavy barrier is membarrier
    std::atomic<bool> changing{false};     // set by a change from before its barrier to its end
    std::atomic<long> overflowReaders{0};  // shared holders without a slot
    std::mutex changeMutex;                // one change at a time; held for the whole change
    // Writes wait here for `changing` to clear, and a change for the
    // waiting writes to go through its window.
    std::mutex waitMutex;
    std::condition_variable changeEnded;  // `changing` was cleared
    std::condition_variable waitersIn;    // waitingWrites fell to 0
    int waitingWrites = 0;                // guarded by waitMutex
};

// The guard, held shared for the scope.
class SharedGuard
{
public:
    explicit SharedGuard(ForwardingGuard& toHold) : guard(toHold), slot(toHold.lockShared()) {}
    ~SharedGuard() { guard.unlockShared(slot); }
    SharedGuard(const SharedGuard&) = delete;
    SharedGuard& operator=(const SharedGuard&) = delete;

private:
    ForwardingGuard& guard;
    std::atomic<const ForwardingGuard*>* const slot;
};

// The guard, held exclusively for the scope; the second form as
// ForwardingGuard::lock.
class ExclusiveGuard
{
public:
    explicit ExclusiveGuard(ForwardingGuard& toHold) : guard(toHold) { toHold.lock(); }
    ExclusiveGuard(ForwardingGuard& toHold, const std::function<void()>& betweenSlices) : guard(toHold)
    {
        toHold.lock(betweenSlices);
    }
    ~ExclusiveGuard() { guard.unlock(); }
    ExclusiveGuard(const ExclusiveGuard&) = delete;
    ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;

private:
    ForwardingGuard& guard;
};

}  // namespace halvix::queue

#endif  // HALVIX_QUEUE_SRC_FORWARDINGGUARD_H
