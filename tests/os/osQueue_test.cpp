#include "halvix/os/osQueue.h"

#include "osTestSupport.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstdint>
#include <future>
#include <string>

using namespace halvix::os;

namespace {

void* messageOf(uintptr_t value)
{
    return reinterpret_cast<void*>(value);
}

TEST(OsQueueTest, FifoWithinTheDefaultCapacityAcrossTheWrapAndNullIsAMessage)
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

TEST(OsQueueTest, TracesNameTheQueueAndTheOperation)
{
    void* queue = osQueueCreate(1);
    void* message = nullptr;
    const std::string traces = dbgTracesOf([&] {
        osQueueRead(queue, &message, 0);
        osQueueWrite(queue, messageOf(1), 0);
        osQueueWrite(queue, messageOf(2), 1);
    });
    const std::string handle = handleText(queue);
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

TEST(OsSemaphoreTest, CountsUnitsFromAnyInitialValueAndAGiveWakesABlockedTake)
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
    ASSERT_EQ(taker.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(taker.get());
    EXPECT_FALSE(osSemaphoreTake(semaphore, 0));
    osSemaphoreDestroy(semaphore);
}

}  // namespace
