// Bounded FIFO message queues of pointers: a ring, with one semaphore counting
// stored messages and one counting free slots. Threads block only inside the
// semaphores, never while holding a lock of the ring.
//
// Writers and readers lock the ring separately. A writer fills the slot at
// the write position and advances it under the write lock, then gives a unit
// of `itemsAvailable`; a reader does the same on its side with the read lock
// and `slotsFree`. Whichever write's unit a reader takes, every write that
// claimed an earlier slot has finished filling it (the write lock orders
// them), so the slot at the read position is filled; the same holds the other
// way round for free slots. Messages therefore come out in the order in which
// writers stored them, and a writer and a reader never wait for each other's
// lock: in the common one-writer, one-reader case neither lock ever moves
// between CPUs.
#include "halvix/os/osQueue.h"

#include "halvix/os/osMutex.h"
#include "halvix/os/src/osCheck.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace halvix::os {
namespace {

// Capacity of a queue created with -1.
constexpr int32_t DEFAULT_CAPACITY = 32;

// The record behind a queue handle. Between operations the units of
// `itemsAvailable` equal `count`, and those of `slotsFree` equal
// `capacity - count`.
struct osPosixQueue_t
{
    osMutex_t mutex;               // the writers' lock: guards writeIndex, written and filling a slot
    osSemaphore_t itemsAvailable;  // a unit per stored message
    osSemaphore_t slotsFree;       // a unit per free slot
    int32_t capacity;              // number of slots
    int32_t writeIndex;            // slot the next write fills
    void** slots;                  // `capacity` message pointers; allocated once
    // Messages stored and taken so far; their difference is the count of
    // stored messages. Each is changed by one side only, under its lock, and
    // read by osQueueSize. Released after the change, so that a size reader
    // who sees a read also sees the write it consumed (the semaphores order
    // that write before the read).
    std::atomic<uint64_t> written;
    // The readers' side, on a cache line of its own so that a writer and a
    // reader on two CPUs do not pull one line back and forth.
    alignas(64) osMutex_t readMutex;  // the readers' lock: guards readIndex, taken and emptying a slot
    int32_t readIndex;                // slot the next read empties
    std::atomic<uint64_t> taken;
};

osPosixQueue_t* recordOf(void* queue)
{
    return static_cast<osPosixQueue_t*>(queue);
}

}  // namespace

void* osQueueCreate(int maxMessages)
{
    // clang-format off
    HALVIX_ASSERT(maxMessages > 0 || maxMessages==-1);
    // clang-format on
    void* memory = aligned_alloc(alignof(osPosixQueue_t), sizeof(osPosixQueue_t));
    osPosixQueue_t* pQueue = memory == nullptr ? nullptr : new (memory) osPosixQueue_t;
    HALVIX_ASSERT(pQueue != __null);
    DBG_LOG("dbg", "Creating queue %p", static_cast<void*>(pQueue));
    pQueue->capacity = maxMessages == -1 ? DEFAULT_CAPACITY : maxMessages;
    // The ring is the only allocation of the queue's life: writes and reads
    // allocate nothing. A ring too large for memory stops the process like a
    // record that cannot be allocated.
    pQueue->slots = static_cast<void**>(calloc(static_cast<size_t>(pQueue->capacity), sizeof(void*)));
    HALVIX_ASSERT(pQueue->slots != __null);
    pQueue->writeIndex = 0;
    pQueue->readIndex = 0;
    pQueue->written.store(0, std::memory_order_relaxed);
    pQueue->taken.store(0, std::memory_order_relaxed);
    pQueue->mutex = osMutexCreate();
    pQueue->readMutex = osMutexCreate();
    pQueue->itemsAvailable = osSemaphoreCreate(0);
    pQueue->slotsFree = osSemaphoreCreate(pQueue->capacity);
    return pQueue;
}

void osQueueDestroy(void* queue)
{
    DBG_LOG("dbg", "Destroying queue %p", queue);
    osPosixQueue_t* pQueue = recordOf(queue);
    osMutexDestroy(pQueue->mutex);
    osMutexDestroy(pQueue->readMutex);
    osSemaphoreDestroy(pQueue->itemsAvailable);
    osSemaphoreDestroy(pQueue->slotsFree);
    free(pQueue->slots);
    pQueue->~osPosixQueue_t();
    free(pQueue);
}

bool osQueueWrite(void* queue, void* message, long timeoutMs)
{
    DBG_LOG("dbg", "Writting queue %p", queue);
    osPosixQueue_t* pQueue = recordOf(queue);
    if (!osSemaphoreTake(pQueue->slotsFree, timeoutMs)) {
        DBG_TRACE("dbg", "Data write to queue %p timed-out", queue);
        return false;
    }
    osMutexLock(pQueue->mutex, false);
    pQueue->slots[pQueue->writeIndex] = message;
    pQueue->writeIndex = (pQueue->writeIndex + 1) % pQueue->capacity;
    pQueue->written.store(pQueue->written.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    osMutexUnlock(pQueue->mutex);
    osSemaphoreGive(pQueue->itemsAvailable);
    DBG_LOG("dbg", "Data was written to queue %p", queue);
    return true;
}

bool osQueueRead(void* queue, void** message, long timeoutMs)
{
    DBG_LOG("dbg", "Reading queue %p", queue);
    osPosixQueue_t* pQueue = recordOf(queue);
    if (!osSemaphoreTake(pQueue->itemsAvailable, timeoutMs)) {
        *message = nullptr;
        DBG_TRACE("dbg", "Data read from queue %p timed-out", queue);
        return false;
    }
    osMutexLock(pQueue->readMutex, false);
    *message = pQueue->slots[pQueue->readIndex];
    pQueue->readIndex = (pQueue->readIndex + 1) % pQueue->capacity;
    pQueue->taken.store(pQueue->taken.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    osMutexUnlock(pQueue->readMutex);
    osSemaphoreGive(pQueue->slotsFree);
    DBG_LOG("dbg", "Data was read from queue %p", queue);
    return true;
}

int osQueueSize(void* queue)
{
    osPosixQueue_t* pQueue = recordOf(queue);
    // A snapshot without either lock. Reads are counted before their slot is
    // given back and writes only after a slot was taken, so at any moment
    // taken <= written <= taken + capacity; a `written` read while `taken`
    // stood still is within those bounds. Acquire loads: a count seen here
    // brings the other side's counts that preceded it.
    for (;;) {
        const uint64_t before = pQueue->taken.load(std::memory_order_acquire);
        const uint64_t written = pQueue->written.load(std::memory_order_acquire);
        if (pQueue->taken.load(std::memory_order_acquire) == before) {
            return static_cast<int>(written - before);
        }
    }
}

}  // namespace halvix::os
