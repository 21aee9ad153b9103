// The forwarding guard (see ForwardingGuard.h).
#include "halvix/queue/src/ForwardingGuard.h"

#include "halvix/src/AsymmetricBarrier.h"

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>

namespace halvix::queue {

namespace {

// Shared holds of one thread at once (a write through a queue that forwards
// to a queue that forwards ...) before the counter takes over.
constexpr int SLOTS = 4;

// One slice of a waiting change: short enough that draining a full queue
// nobody reads starts soon, long enough not to spin.
constexpr auto SLICE = std::chrono::milliseconds(5);
// The pause between two looks of a change that waits for a write that is
// itself waiting (for room in a full target, or for another change).
constexpr auto POLL = std::chrono::microseconds(200);
// The longest a window of a change stays open for the writes waiting for it
// (ForwardingGuard.h): they are awake and need only take their slots.
constexpr auto WINDOW = std::chrono::milliseconds(1);

// One thread's shared holds. Records are never freed: a change may read any
// of them at any time. A thread that ends gives its record back, with every
// slot clear, for the next thread that needs one; so there are never more
// records than threads that held a guard at once.
struct alignas(64) ReaderRecord
{
    std::atomic<const ForwardingGuard*> slots[SLOTS] = {};  // null: free
    int depth = 0;                                          // slots in use; only the owner touches it
    std::atomic<bool> taken{true};                          // a thread owns the record
    ReaderRecord* next = nullptr;                           // set before the record is published
};

// Every record made, newest first. A pointer: never destroyed, as threads
// write through queues while the process exits.
std::atomic<ReaderRecord*> records{nullptr};

// The calling thread's record, once it has one; and whether its
// thread-local storage is being destroyed (a write from a destructor there
// uses the counter).
thread_local ReaderRecord* tlsRecord = nullptr;
thread_local bool tlsRecordGone = false;

// Gives the thread's record back when the thread ends.
struct RecordReturn
{
    bool armed = false;
    ~RecordReturn()
    {
        if (tlsRecord != nullptr) {
            // Release: the next owner sees the slots clear.
            tlsRecord->taken.store(false, std::memory_order_release);
        }
        tlsRecord = nullptr;
        tlsRecordGone = true;
    }
};
thread_local RecordReturn tlsRecordReturn;

ReaderRecord* takeRecord()
{
    // Acquire: a record's `next`, set before it was published, is seen.
    for (ReaderRecord* record = records.load(std::memory_order_acquire); record != nullptr;
         record = record->next) {
        bool free = false;
        // Acquire: pairs with the release of the thread that gave it back.
        if (!record->taken.load(std::memory_order_relaxed) &&
            record->taken.compare_exchange_strong(free, true, std::memory_order_acquire,
                                                  std::memory_order_relaxed)) {
            return record;
        }
    }
    auto* record = new (std::nothrow) ReaderRecord;
    if (record == nullptr) {
        return nullptr;
    }
    ReaderRecord* head = records.load(std::memory_order_relaxed);
    do {
        record->next = head;
        // Sequentially consistent, as the slot's store that follows: a
        // change that misses the record is seen by the look at `changing`.
        // Also release: a change that finds the record sees its fields.
    } while (
        !records.compare_exchange_weak(head, record, std::memory_order_seq_cst, std::memory_order_relaxed));
    return record;
}

// The calling thread's record; null when none can be had.
ReaderRecord* myRecord()
{
    if (tlsRecord != nullptr || tlsRecordGone) {
        return tlsRecord;
    }
    tlsRecord = takeRecord();
    tlsRecordReturn.armed = true;  // registers the return at thread end
    return tlsRecord;
}

bool asymmetricBarrier()
{
    static const bool registered = halvix::internal::registerAsymmetricBarrier();
    return registered;
}

}  // namespace

ForwardingGuard::ForwardingGuard() : asymmetric(asymmetricBarrier()) {}

std::atomic<const ForwardingGuard*>* ForwardingGuard::lockShared()
{
    ReaderRecord* record = myRecord();
    bool counted = false;  // among the waiting writes
    if (record != nullptr && record->depth < SLOTS) {
        std::atomic<const ForwardingGuard*>& slot = record->slots[record->depth];
        for (;;) {
            // With the membarrier, a relaxed store and a compiler barrier:
            // the change's call makes this thread pass a full barrier
            // wherever it is. Without it, a sequentially consistent store and
            // load, as the change's flag and its look at the slots: one of
            // the two sees the other.
            if (asymmetric) {
                slot.store(this, std::memory_order_relaxed);
                std::atomic_signal_fence(std::memory_order_seq_cst);
            } else {
                slot.store(this, std::memory_order_seq_cst);
            }
            // Also acquire: what the last change did before it ended is seen.
            if (!changing.load(std::memory_order_seq_cst)) {
                ++record->depth;
                if (counted) {
                    stopWaiting();  // after the slot: a window's change sees it
                }
                return &slot;
            }
            // Release: nothing guarded was read; the change may go on.
            slot.store(nullptr, std::memory_order_release);
            awaitChangeEnd(counted);
        }
    }
    for (;;) {
        // Sequentially consistent, as the change's flag and its look at the
        // count: one of the two sees the other.
        overflowReaders.fetch_add(1, std::memory_order_seq_cst);
        if (!changing.load(std::memory_order_seq_cst)) {
            if (counted) {
                stopWaiting();
            }
            return nullptr;
        }
        overflowReaders.fetch_sub(1, std::memory_order_release);
        awaitChangeEnd(counted);
    }
}

void ForwardingGuard::unlockShared(std::atomic<const ForwardingGuard*>* slot)
{
    // Release, either way: the write is done before a change that sees the
    // hold end. The guard is not touched after this: its queue may go at once.
    if (slot == nullptr) {
        overflowReaders.fetch_sub(1, std::memory_order_release);
        return;
    }
    --tlsRecord->depth;
    slot->store(nullptr, std::memory_order_release);
}

void ForwardingGuard::lock()
{
    changeMutex.lock();
    beginChange();
    awaitReaders(nullptr);
}

void ForwardingGuard::lock(const std::function<void()>& betweenSlices)
{
    // Polled rather than timed: ThreadSanitizer does not see a mutex taken
    // by the timed lock of std::timed_mutex, which uses pthread_mutex_clocklock.
    auto sliceEnd = std::chrono::steady_clock::now() + SLICE;
    while (!changeMutex.try_lock()) {
        std::this_thread::sleep_for(POLL);
        if (std::chrono::steady_clock::now() >= sliceEnd) {
            betweenSlices();
            sliceEnd = std::chrono::steady_clock::now() + SLICE;
        }
    }
    beginChange();
    awaitReaders(&betweenSlices);
}

void ForwardingGuard::unlock()
{
    endChange();
    changeMutex.unlock();
}

void ForwardingGuard::endChange()
{
    {
        // Cleared under the wait mutex, so a write about to wait sees it
        // cleared or is woken. Release: what the change did is seen by the
        // writes that follow.
        std::lock_guard<std::mutex> lock(waitMutex);
        changing.store(false, std::memory_order_release);
    }
    changeEnded.notify_all();
}

void ForwardingGuard::awaitChangeEnd(bool& counted)
{
    std::unique_lock<std::mutex> lock(waitMutex);
    if (!counted) {
        ++waitingWrites;
        counted = true;
    }
    // Acquire: pairs with endChange; the write looks at the flag again anyway.
    changeEnded.wait(lock, [this] { return !changing.load(std::memory_order_acquire); });
}

void ForwardingGuard::stopWaiting()
{
    std::lock_guard<std::mutex> lock(waitMutex);
    if (--waitingWrites == 0) {
        waitersIn.notify_all();
    }
}

void ForwardingGuard::openWindow()
{
    {
        std::unique_lock<std::mutex> lock(waitMutex);
        if (waitingWrites == 0) {
            return;
        }
        // Nothing guarded has changed yet: the writes let through read it as
        // it was, and the change waits for them once the window closes.
        changing.store(false, std::memory_order_release);
        changeEnded.notify_all();
        // Each stopWaiting follows its slot: once the count is 0 (the lock
        // orders it), the barrier below and the look at the slots see them.
        waitersIn.wait_for(lock, WINDOW, [this] { return waitingWrites == 0; });
    }
    beginChange();
}

void ForwardingGuard::beginChange()
{
    // Sequentially consistent: see lockShared. The membarrier call passes a
    // full barrier on this thread too.
    changing.store(true, std::memory_order_seq_cst);
    if (asymmetric && syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) != 0 &&
        (syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) != 0 ||
         syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) != 0)) {
        // Writers rely on the barrier the call would have made them pass;
        // going on without it could write to a target being removed.
        std::fputs("halvix: membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) failed after it was registered\n",
                   stderr);
        std::abort();
    }
}

bool ForwardingGuard::hasReaders() const
{
    // Sequentially consistent, each: see lockShared; also acquire, pairing
    // with the release that ended a hold, so that the write is done before
    // the change goes on.
    if (overflowReaders.load(std::memory_order_seq_cst) != 0) {
        return true;
    }
    for (ReaderRecord* record = records.load(std::memory_order_seq_cst); record != nullptr;
         record = record->next) {
        for (const auto& slot : record->slots) {
            if (slot.load(std::memory_order_seq_cst) == this) {
                return true;
            }
        }
    }
    return false;
}

void ForwardingGuard::awaitReaders(const std::function<void()>* betweenSlices)
{
    // A write in flight usually ends within a microsecond; one that waits for
    // room in a full target may take long, and is polled more slowly.
    auto sliceEnd = std::chrono::steady_clock::now() + SLICE;
    for (unsigned round = 0; hasReaders(); ++round) {
        if (round < 64) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(round < 128 ? POLL / 10 : POLL);
        }
        if (std::chrono::steady_clock::now() >= sliceEnd) {
            if (betweenSlices != nullptr) {
                (*betweenSlices)();
            }
            // A write in flight that has not ended in a slice may wait for
            // room that only a write waiting for this change would make.
            openWindow();
            sliceEnd = std::chrono::steady_clock::now() + SLICE;
        }
    }
}

}  // namespace halvix::queue
