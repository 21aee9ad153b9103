// Bounded FIFO message queues of pointers: a lock-free ring of slots, each
// with a turn word that says whether it waits for a writer or a reader of
// which lap, and threads that must wait spin briefly and then sleep on that
// word (ringCore.h explains the scheme, its order and its teardown).
//
// A write or read that found its slot ready takes no lock, makes no system
// call and allocates nothing; a wake-up costs a system call only when
// somebody sleeps on the slot it hands over.
#include "halvix/os/osQueue.h"

#include "halvix/os/src/osCheck.h"
#include "halvix/os/src/ringCore.h"
#include "halvix/src/QueueCounters.h"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace halvix::os {
namespace {

typedef internal::RingCore<std::atomic, internal::FutexParking> Ring;

// Capacity of a queue created with -1.
constexpr int32_t DEFAULT_CAPACITY = 32;

// The record behind a queue handle: the ring and its slots, allocated once.
struct osPosixQueue_t
{
    osPosixQueue_t(Ring::Slot* ringSlots, uint32_t capacity) : ring(ringSlots, capacity), slots(ringSlots) {}
    Ring ring;
    Ring::Slot* slots;  // `capacity` of them
};

// A time-out below -1 stops the process with the assertion the queue's waits
// have always made (they were once the waits of a semaphore).
constexpr char OS_SEMAPHORE_TAKE[] = "bool halvix::os::osSemaphoreTake(halvix::os::osSemaphore_t, long int)";

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
    const uint32_t capacity = maxMessages == -1 ? DEFAULT_CAPACITY : static_cast<uint32_t>(maxMessages);
    // Zero-filled: every slot waits for the writer of lap 0 and holds null.
    void* slotMemory = calloc(capacity, sizeof(Ring::Slot));
    void* memory = aligned_alloc(alignof(osPosixQueue_t), sizeof(osPosixQueue_t));
    if (memory == nullptr || slotMemory == nullptr) {
        free(slotMemory);
        free(memory);
        memory = nullptr;
    }
    osPosixQueue_t* pQueue = nullptr;
    if (memory != nullptr) {
        Ring::Slot* slots = static_cast<Ring::Slot*>(slotMemory);
        for (uint32_t i = 0; i < capacity; ++i) {
            new (&slots[i]) Ring::Slot();  // starts the atomics' lifetime; the bytes stay zero
        }
        pQueue = new (memory) osPosixQueue_t(slots, capacity);
    }
    // A ring too large for memory stops the process like a record that
    // cannot be allocated.
    HALVIX_ASSERT(pQueue != __null);
    DBG_LOG("dbg", "Creating queue %p", static_cast<void*>(pQueue));
    return pQueue;
}

void osQueueDestroy(void* queue)
{
    DBG_LOG("dbg", "Destroying queue %p", queue);
    osPosixQueue_t* pQueue = recordOf(queue);
    free(pQueue->slots);
    pQueue->~osPosixQueue_t();
    free(pQueue);
}

bool osQueueWrite(void* queue, void* message, long timeoutMs)
{
    DBG_LOG("dbg", "Writting queue %p", queue);
    const long lMsBeforeTimeout = timeoutMs;
    HALVIX_OS_ASSERT(lMsBeforeTimeout >= -1, OS_SEMAPHORE_TAKE);
    bool slept = false;
    if (!recordOf(queue)->ring.write(message, timeoutMs, slept)) {
        if (slept) {
            internal::traceWaitTimedOut();
        }
        DBG_TRACE("dbg", "Data write to queue %p timed-out", queue);
        return false;
    }
    // From here on the queue may be gone: only the handle's value is used.
    DBG_LOG("dbg", "Data was written to queue %p", queue);
    return true;
}

namespace {

constexpr char OS_QUEUE_READ[] = "osQueueRead";

// The read of a message, marking or not; its traces name osQueueRead.
bool readQueue(void* queue, void** message, long timeoutMs, bool marking)
{
    DBG_TRACE_AS(DBG_LEVEL_LOG, "dbg", OS_QUEUE_READ, "Reading queue %p", queue);
    const long lMsBeforeTimeout = timeoutMs;
    HALVIX_OS_ASSERT(lMsBeforeTimeout >= -1, OS_SEMAPHORE_TAKE);
    bool slept = false;
    void* taken = nullptr;
    if (!recordOf(queue)->ring.read(taken, timeoutMs, slept, marking)) {
        *message = nullptr;
        if (slept) {
            internal::traceWaitTimedOut();
        }
        DBG_TRACE_AS(DBG_LEVEL_TRACE, "dbg", OS_QUEUE_READ, "Data read from queue %p timed-out", queue);
        return false;
    }
    *message = taken;
    DBG_TRACE_AS(DBG_LEVEL_LOG, "dbg", OS_QUEUE_READ, "Data was read from queue %p", queue);
    return true;
}

}  // namespace

bool osQueueRead(void* queue, void** message, long timeoutMs)
{
    return readQueue(queue, message, timeoutMs, false);
}

int osQueueSize(void* queue)
{
    return recordOf(queue)->ring.size();
}

namespace internal {

bool osQueueReadMarking(void* queue, void** message, long timeoutMs)
{
    return readQueue(queue, message, timeoutMs, true);
}

unsigned long osQueueHighWater(void* queue)
{
    return recordOf(queue)->ring.highWater();
}

uint64_t osQueueWritten(void* queue)
{
    return recordOf(queue)->ring.written();
}

}  // namespace internal

}  // namespace halvix::os
