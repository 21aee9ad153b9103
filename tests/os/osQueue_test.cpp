#include "halvix/os/osQueue.h"

#include "halvix/dbg/dbg.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <vector>

using namespace halvix::os;
using Clock = std::chrono::steady_clock;

namespace {

void* messageOf(uintptr_t value)
{
    return reinterpret_cast<void*>(value);
}

uintptr_t valueOf(void* message)
{
    return reinterpret_cast<uintptr_t>(message);
}

TEST(OsQueueTest, DefaultCapacityIs32AndAFullQueueRefusesAtOnce)
{
    void* queue = osQueueCreate(-1);
    for (uintptr_t i = 0; i < 32; ++i) {
        EXPECT_TRUE(osQueueWrite(queue, messageOf(i + 1), 0)) << i;
    }
    const auto start = Clock::now();
    EXPECT_FALSE(osQueueWrite(queue, messageOf(99), 0));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(osQueueSize(queue), 32);

    // A timed write to the full queue waits its time, stores nothing.
    const auto timedStart = Clock::now();
    EXPECT_FALSE(osQueueWrite(queue, messageOf(99), 40));
    EXPECT_GE(Clock::now() - timedStart, std::chrono::milliseconds(40));
    void* message = nullptr;
    for (uintptr_t i = 0; i < 32; ++i) {
        ASSERT_TRUE(osQueueRead(queue, &message, 0));
        EXPECT_EQ(valueOf(message), i + 1);
    }
    EXPECT_EQ(osQueueSize(queue), 0);
    osQueueDestroy(queue);
}

TEST(OsQueueTest, IndicesWrapNullMessagesPassAndSizeCountsStoredMessages)
{
    void* queue = osQueueCreate(3);
    void* message = messageOf(1);
    std::string order;
    for (const char* text : {"A", "B", "C"}) {
        EXPECT_TRUE(osQueueWrite(queue, const_cast<char*>(text), 0));
    }
    EXPECT_FALSE(osQueueWrite(queue, messageOf(7), 0));
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(osQueueRead(queue, &message, 0));
        order += static_cast<const char*>(message);
    }
    EXPECT_TRUE(osQueueWrite(queue, const_cast<char*>("D"), 0));
    EXPECT_EQ(osQueueSize(queue), 2);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(osQueueRead(queue, &message, 0));
        order += static_cast<const char*>(message);
    }
    EXPECT_EQ(order, "ABCD");

    // Empty: a poll fails at once and clears the message; a timed read waits its time.
    message = messageOf(1);
    EXPECT_FALSE(osQueueRead(queue, &message, 0));
    EXPECT_EQ(message, nullptr);
    message = messageOf(1);
    const auto start = Clock::now();
    EXPECT_FALSE(osQueueRead(queue, &message, 30));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_EQ(message, nullptr);

    // Null is a message like any other; only the result tells it from a failed read.
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
    _dbg_set_mask("dbg");
    _dbg_set_level(DBG_LEVEL_LOG);
    testing::internal::CaptureStderr();
    osQueueRead(queue, &message, 0);
    osQueueWrite(queue, messageOf(1), 0);
    osQueueWrite(queue, messageOf(2), 1);
    const std::string traces = testing::internal::GetCapturedStderr();
    _dbg_set_level(DBG_LEVEL_WARN);
    _dbg_set_mask("all");

    const std::string handle = [queue] {
        char text[32];
        snprintf(text, sizeof text, "%p", queue);
        return std::string(text);
    }();
    EXPECT_THAT(traces,
                testing::ContainsRegex("\\{[^}]*osQueueRead [0-9]+\\} Reading queue " + handle + "\n"));
    EXPECT_THAT(traces,
                testing::ContainsRegex("\n-[^\n]*\\} Data read from queue " + handle + " timed-out\n"));
    EXPECT_THAT(traces, testing::ContainsRegex("osQueueWrite [0-9]+\\} Writting queue " + handle + "\n"));
    EXPECT_THAT(traces, testing::ContainsRegex("\\} Data was written to queue " + handle + "\n"));
    // The timed wait for a slot shows the condition's time-out, then the queue's.
    EXPECT_THAT(traces, testing::ContainsRegex("osConditionWait [0-9]+\\} pthread error 110\n\n"));
    EXPECT_THAT(traces,
                testing::ContainsRegex("\n-[^\n]*\\} Data write to queue " + handle + " timed-out\n"));
    osQueueRead(queue, &message, 0);
    osQueueDestroy(queue);
}

// Several writers and readers on one small queue, with blocking, timed and
// polling calls mixed: every message arrives exactly once, each writer's in
// the order written.
TEST(OsQueueTest, ConcurrentWritersAndReadersLoseAndDuplicateNothing)
{
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    constexpr uintptr_t PER_WRITER = 2000;
#else
    constexpr uintptr_t PER_WRITER = 20000;
#endif
    constexpr int WRITERS = 3;
    constexpr int READERS = 3;
    constexpr uintptr_t STOP = 0;  // messages are (writer + 1) << 32 | sequence
    void* queue = osQueueCreate(8);

    std::vector<std::future<void>> writers;
    for (int w = 0; w < WRITERS; ++w) {
        writers.push_back(std::async(std::launch::async, [queue, w] {
            const long timeouts[] = {-1, 1, 0};
            for (uintptr_t i = 0; i < PER_WRITER; ++i) {
                void* message = messageOf(static_cast<uintptr_t>(w + 1) << 32 | i);
                while (!osQueueWrite(queue, message, timeouts[i % 3])) {
                }
            }
        }));
    }
    struct Received
    {
        uint64_t count = 0;
        uint64_t sum = 0;
        bool inOrder = true;
    };
    std::vector<std::future<Received>> readers;
    for (int r = 0; r < READERS; ++r) {
        readers.push_back(std::async(std::launch::async, [queue, r] {
            Received received;
            int64_t last[WRITERS] = {-1, -1, -1};
            for (uint64_t n = 0;; ++n) {
                void* message = nullptr;
                if (!osQueueRead(queue, &message, (n + r) % 2 == 0 ? -1 : 2)) {
                    continue;
                }
                const uintptr_t value = valueOf(message);
                if (value == STOP) {
                    return received;
                }
                const int writer = static_cast<int>(value >> 32) - 1;
                const int64_t sequence = static_cast<int64_t>(value & 0xffffffffu);
                received.inOrder = received.inOrder && sequence > last[writer];
                last[writer] = sequence;
                ++received.count;
                received.sum += value;
            }
        }));
    }
    for (auto& writer : writers) {
        writer.get();
    }
    for (int r = 0; r < READERS; ++r) {
        osQueueWrite(queue, messageOf(STOP), -1);
    }
    Received total;
    for (auto& reader : readers) {
        ASSERT_EQ(reader.wait_for(std::chrono::seconds(60)), std::future_status::ready);
        const Received received = reader.get();
        EXPECT_TRUE(received.inOrder);
        total.count += received.count;
        total.sum += received.sum;
    }
    EXPECT_EQ(total.count, WRITERS * PER_WRITER);
    uint64_t expectedSum = 0;
    for (uint64_t w = 1; w <= WRITERS; ++w) {
        expectedSum += (w << 32) * PER_WRITER + PER_WRITER * (PER_WRITER - 1) / 2;
    }
    EXPECT_EQ(total.sum, expectedSum);
    EXPECT_EQ(osQueueSize(queue), 0);
    osQueueDestroy(queue);
}

TEST(OsQueueDeathTest, CapacityMustBePositiveOrMinusOne)
{
    EXPECT_DEATH(osQueueCreate(0), "void\\* halvix::os::osQueueCreate\\(int\\): Assertion `maxMessages > 0 "
                                   "\\|\\| maxMessages==-1' failed");
    EXPECT_DEATH(osQueueCreate(-2), "Assertion `maxMessages > 0 \\|\\| maxMessages==-1' failed");
}

}  // namespace
