// OS message queues and semaphores: order, capacity, traces, and a receiver that destroys at once.
#include "halvix/os/osQueue.h"

#include "halvix/os/src/parking.h"
#include "osTestSupport.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <future>
#include <limits>
#include <string>
#include <thread>

using namespace halvix::os;

namespace {

void* messageOf(uintptr_t value)
{
    return reinterpret_cast<void*>(value);
}

TEST(OsQueue, FifoWithinTheDefaultCapacityAcrossTheWrapAndNullIsAMessage)
{
    void* queue = osQueueCreate(-1);  // 32 messages
    uintptr_t written = 0;
    uintptr_t read = 0;
    void* message = nullptr;
    for (int round = 0; round < 3; ++round) {  // fill, then read most, so that the indices wrap
        for (int accepted = 0; accepted < 40 && osQueueWrite(queue, messageOf(written + 1), 0); ++accepted) {
            ++written;
        }
        EXPECT_EQ(osQueueSize(queue), 32);
        for (int i = 0; i < 20; ++i) {
            ASSERT_TRUE(osQueueRead(queue, &message, 0));
            EXPECT_EQ(message, messageOf(++read));
        }
    }
    while (osQueueRead(queue, &message, 0)) {
        EXPECT_EQ(message, messageOf(++read));
    }
    EXPECT_EQ(read, written);
    // Only the result tells a null message from a failed read.
    EXPECT_TRUE(osQueueWrite(queue, nullptr, 0));
    EXPECT_EQ(osQueueSize(queue), 1);
    message = messageOf(1);
    EXPECT_TRUE(osQueueRead(queue, &message, -1));
    EXPECT_EQ(message, nullptr);
    EXPECT_EQ(osQueueSize(queue), 0);
    osQueueDestroy(queue);
}

TEST(OsQueue, TracesNameTheQueueAndTheOperation)
{
    void* queue = osQueueCreate(1);
    void* message = nullptr;
    const std::string traces = dbgTracesOf([&] {
        osQueueRead(queue, &message, 0);
        osQueueWrite(queue, messageOf(1), 0);
        osQueueWrite(queue, messageOf(2), 1);
    });
    const std::string handle = hexText(queue);
    using testing::ContainsRegex;
    EXPECT_THAT(traces, ContainsRegex("\\{[^}]*osQueueRead [0-9]+\\} Reading queue " + handle + "\n"));
    EXPECT_THAT(traces, ContainsRegex("\n-[^\n]*\\} Data read from queue " + handle + " timed-out\n"));
    EXPECT_THAT(traces, ContainsRegex("osQueueWrite [0-9]+\\} Writting queue " + handle + "\n"));
    EXPECT_THAT(traces, ContainsRegex("\\} Data was written to queue " + handle + "\n"));
    // The timed wait for a slot shows the condition's time-out, then the queue's.
    EXPECT_THAT(traces, ContainsRegex("osConditionWait [0-9]+\\} pthread error 110\n\n"));
    EXPECT_THAT(traces, ContainsRegex("\n-[^\n]*\\} Data write to queue " + handle + " timed-out\n"));
    osQueueRead(queue, &message, 0);
    osQueueDestroy(queue);
}

TEST(OsSemaphore, CountsUnitsFromAnyInitialValueAndAGiveWakesABlockedTake)
{
    for (long initial : {0L, 2L, -2L}) {
        SCOPED_TRACE(initial);
        osSemaphore_t semaphore = osSemaphoreCreate(initial);
        for (long given = initial; given < 1; ++given) {  // a negative count needs 1 - initial gives
            EXPECT_FALSE(osSemaphoreTake(semaphore, 0));
            osSemaphoreGive(semaphore);
        }
        for (long unit = 0; unit < std::max(initial, 1L); ++unit) {
            EXPECT_TRUE(osSemaphoreTake(semaphore, unit % 2 == 0 ? 0 : -1));
        }
        EXPECT_FALSE(osSemaphoreTake(semaphore, 0));
        osSemaphoreDestroy(semaphore);
    }
    osSemaphore_t semaphore = osSemaphoreCreate(0);
    auto taker = std::async(std::launch::async, [semaphore] { return osSemaphoreTake(semaphore, -1); });
    osSemaphoreGive(semaphore);
    ASSERT_TRUE(halvix::test::readyWithinBound(taker));
    EXPECT_TRUE(taker.get());
    EXPECT_FALSE(osSemaphoreTake(semaphore, 0));
    osSemaphoreDestroy(semaphore);
}

TEST(OsQueue, WrapsAroundACapacityThatIsNoPowerOfTwo)
{
    void* queue = osQueueCreate(3);
    void* message = nullptr;
    for (uintptr_t value : {1, 2, 3}) {
        EXPECT_TRUE(osQueueWrite(queue, messageOf(value), 0));
    }
    EXPECT_FALSE(osQueueWrite(queue, messageOf(9), 0));
    uintptr_t expected = 1;
    uintptr_t next = 4;
    for (int lap = 0; lap < 5; ++lap) {  // A, B, C; two out, D in, ... across several laps
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(osQueueRead(queue, &message, 0));
            EXPECT_EQ(message, messageOf(expected++));
        }
        EXPECT_TRUE(osQueueWrite(queue, messageOf(next++), 0));
        EXPECT_TRUE(osQueueWrite(queue, messageOf(next++), -1));
        EXPECT_EQ(osQueueSize(queue), 3);
    }
    osQueueDestroy(queue);
}

TEST(OsSemaphore, ClampsAnInitialCountBeyondTheWord)
{
    osSemaphore_t plenty = osSemaphoreCreate(std::numeric_limits<long>::max());
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(osSemaphoreTake(plenty, 0));
    }
    osSemaphoreGive(plenty);
    EXPECT_TRUE(osSemaphoreTake(plenty, 0));
    osSemaphoreDestroy(plenty);
    osSemaphore_t owing = osSemaphoreCreate(std::numeric_limits<long>::min());
    for (int i = 0; i < 1000; ++i) {
        osSemaphoreGive(owing);
    }
    EXPECT_FALSE(osSemaphoreTake(owing, 0));
    osSemaphoreDestroy(owing);
}

// Rounds of a hand-off between two threads in which the receiving side
// destroys the object the moment it got its unit, while the sending call may
// still be on its way out: `create` makes the object, `send` gives or writes
// on this thread, `receiveAndDestroy` runs on the other. Any access of the
// sender after its unit could be taken touches freed memory, which
// AddressSanitizer reports; a lost wake-up leaves the receiver blocked and
// fails the bounded wait.
template <typename Create, typename Send, typename Receive>
void handOffAndDestroyAtOnce(Create create, Send send, Receive receiveAndDestroy)
{
    const int kRounds = halvix::test::scaled(20000, 20000, 2000);
    std::atomic<void*> handle{nullptr};  // the object of the round; null when the receiver is done
    std::atomic<bool> stop{false};
    auto receiver = std::async(std::launch::async, [&] {
        for (;;) {
            void* object = handle.load(std::memory_order_acquire);
            if (object == nullptr) {
                if (stop.load(std::memory_order_acquire)) {
                    return;
                }
                std::this_thread::yield();
                continue;
            }
            receiveAndDestroy(object);
            handle.store(nullptr, std::memory_order_release);
        }
    });
    for (int round = 0; round < kRounds; ++round) {
        void* object = create();
        handle.store(object, std::memory_order_release);
        // Sometimes the receiver is already waiting, sometimes still on its way.
        if (round % 3 == 0) {
            std::this_thread::yield();
        }
        send(object);
        const auto deadline = Clock::now() + kLateness * 5;
        while (handle.load(std::memory_order_acquire) != nullptr) {
            ASSERT_LT(Clock::now(), deadline) << "round " << round << ": the receiver never got its unit";
            std::this_thread::yield();
        }
    }
    stop.store(true, std::memory_order_release);
    ASSERT_EQ(receiver.wait_for(kLateness), std::future_status::ready);
}

TEST(OsSemaphore, TakerThatDestroysTheSemaphoreAtOnceLeavesTheGiverSafe)
{
    handOffAndDestroyAtOnce([] { return osSemaphoreCreate(0); },
                            [](void* semaphore) { osSemaphoreGive(semaphore); },
                            [](void* semaphore) {
                                EXPECT_TRUE(osSemaphoreTake(semaphore, -1));
                                osSemaphoreDestroy(semaphore);
                            });
}

TEST(OsQueue, ReaderThatDestroysTheQueueAtOnceLeavesTheWriterSafe)
{
    handOffAndDestroyAtOnce([] { return osQueueCreate(1); },
                            [](void* queue) { EXPECT_TRUE(osQueueWrite(queue, messageOf(7), -1)); },
                            [](void* queue) {
                                void* message = nullptr;
                                EXPECT_TRUE(osQueueRead(queue, &message, -1));
                                EXPECT_EQ(message, messageOf(7));
                                osQueueDestroy(queue);
                            });
}

// The record behind the spin rule of threads that may run on one CPU only.
TEST(WaiterCpus, AOneCpuThreadSpinsOnlyWhileAnotherWaiterMayRunElsewhere)
{
    using halvix::os::internal::WaiterCpus;
    const uint64_t cpu0 = WaiterCpus::bitOf(0);
    const uint64_t cpu1 = WaiterCpus::bitOf(1);
    WaiterCpus waiters;
    EXPECT_FALSE(waiters.anyOutside(cpu0, 10));
    waiters.record(cpu0, 10);  // everything under `taskset -c 0`
    waiters.record(cpu0, 10);
    EXPECT_FALSE(waiters.anyOutside(cpu0, 10));
    waiters.record(cpu1, 10);  // a partner pinned to another CPU
    EXPECT_TRUE(waiters.anyOutside(cpu0, 10));
    EXPECT_TRUE(waiters.anyOutside(cpu1, 10));
    EXPECT_FALSE(waiters.anyOutside(cpu0 | cpu1, 10));
    EXPECT_TRUE(waiters.anyOutside(cpu0, 11)) << "the epoch before is remembered";
    EXPECT_FALSE(waiters.anyOutside(cpu0, 12)) << "two epochs on, the partner is forgotten";
    waiters.record(cpu0, 12);  // reuses the slot of epoch 10
    EXPECT_FALSE(waiters.anyOutside(cpu0, 12)) << "a reused slot starts empty";
    waiters.record(WaiterCpus::bitOf(WaiterCpus::CPU_BITS), 12);
    EXPECT_FALSE(waiters.anyOutside(cpu0, 12)) << "CPUs that share a bit count as one";
}

TEST(WaiterCpus, ARecordThatArrivesLateLeavesTheNewerEpochAlone)
{
    using halvix::os::internal::WaiterCpus;
    const uint64_t cpu0 = WaiterCpus::bitOf(0);
    WaiterCpus waiters;
    waiters.record(WaiterCpus::bitOf(1), 13);
    waiters.record(cpu0, 11);  // a thread delayed since epoch 11: same slot
    EXPECT_TRUE(waiters.anyOutside(cpu0, 13)) << "the partner recorded in epoch 13 was lost";
    EXPECT_FALSE(waiters.anyOutside(WaiterCpus::bitOf(1), 12)) << "the late record counts for epoch 11";
    // Past 2^32 the recorded epoch wraps and is still taken for the newer;
    // so is an epoch far ahead of an empty slot.
    const uint64_t wrap = uint64_t(1) << 32;
    WaiterCpus wrapping;
    wrapping.record(cpu0, wrap - 1);
    wrapping.record(WaiterCpus::bitOf(2), wrap + 1);
    EXPECT_TRUE(wrapping.anyOutside(cpu0, wrap + 1));
    EXPECT_TRUE(wrapping.anyOutside(cpu0, wrap + 2));
    WaiterCpus late;
    late.record(WaiterCpus::bitOf(2), wrap - 3);
    EXPECT_TRUE(late.anyOutside(cpu0, wrap - 3));
}

}  // namespace
