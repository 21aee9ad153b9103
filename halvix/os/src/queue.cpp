// Bounded FIFO message queues of pointers: a ring guarded by a mutex, with one
// semaphore counting stored messages and one counting free slots. Threads
// block only inside the semaphores, never while holding the ring's mutex.
#include "halvix/os/osQueue.h"

#include "halvix/os/osMutex.h"
#include "halvix/os/src/osCheck.h"

#include <cstdint>
#include <cstdlib>

namespace halvix::os {
namespace {

// Capacity of a queue created with -1.
constexpr int32_t DEFAULT_CAPACITY = 32;

// The record behind a queue handle. Between operations the units of
// `itemsAvailable` equal `count`, and those of `slotsFree` equal
// `capacity - count`.
struct osPosixQueue_t
{
    osMutex_t mutex;               // guards count, writeIndex, readIndex and the slots' contents
    osSemaphore_t itemsAvailable;  // a unit per stored message
    osSemaphore_t slotsFree;       // a unit per free slot
    int32_t capacity;              // number of slots
    int32_t count;                 // messages stored now
    int32_t writeIndex;            // slot the next write fills
    int32_t readIndex;             // slot the next read empties
    void** slots;                  // `capacity` message pointers; allocated once
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
    osPosixQueue_t* pQueue = static_cast<osPosixQueue_t*>(malloc(sizeof(osPosixQueue_t)));
    HALVIX_ASSERT(pQueue != __null);
    DBG_LOG("dbg", "Creating queue %p", static_cast<void*>(pQueue));
    pQueue->capacity = maxMessages == -1 ? DEFAULT_CAPACITY : maxMessages;
    // The ring is the only allocation of the queue's life: writes and reads
    // allocate nothing. A ring too large for memory stops the process like a
    // record that cannot be allocated.
    pQueue->slots = static_cast<void**>(calloc(static_cast<size_t>(pQueue->capacity), sizeof(void*)));
    HALVIX_ASSERT(pQueue->slots != __null);
    pQueue->count = 0;
    pQueue->writeIndex = 0;
    pQueue->readIndex = 0;
    pQueue->mutex = osMutexCreate();
    pQueue->itemsAvailable = osSemaphoreCreate(0);
    pQueue->slotsFree = osSemaphoreCreate(pQueue->capacity);
    return pQueue;
}

void osQueueDestroy(void* queue)
{
    DBG_LOG("dbg", "Destroying queue %p", queue);
    osPosixQueue_t* pQueue = recordOf(queue);
    osMutexDestroy(pQueue->mutex);
    osSemaphoreDestroy(pQueue->itemsAvailable);
    osSemaphoreDestroy(pQueue->slotsFree);
    free(pQueue->slots);
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
    ++pQueue->count;
    pQueue->writeIndex = (pQueue->writeIndex + 1) % pQueue->capacity;
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
    osMutexLock(pQueue->mutex, false);
    *message = pQueue->slots[pQueue->readIndex];
    --pQueue->count;
    pQueue->readIndex = (pQueue->readIndex + 1) % pQueue->capacity;
    osMutexUnlock(pQueue->mutex);
    osSemaphoreGive(pQueue->slotsFree);
    DBG_LOG("dbg", "Data was read from queue %p", queue);
    return true;
}

int osQueueSize(void* queue)
{
    osPosixQueue_t* pQueue = recordOf(queue);
    osMutexLock(pQueue->mutex, false);
    const int count = pQueue->count;
    osMutexUnlock(pQueue->mutex);
    return count;
}

}  // namespace halvix::os
