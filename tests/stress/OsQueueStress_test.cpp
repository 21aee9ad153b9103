// OS message queues and semaphores hammered from several threads at once,
// each operation with a time-out of 0, 1 ms or -1 picked at random. Whatever
// timed out, the books balance at the end:
//   queue:     messages written == messages read, each writer's messages in
//              its order at every reader, checksums equal;
//   semaphore: initial count + gives == takes + units left.
// The readers and takers stop only on what they are owed, so one that missed
// a wake-up stays blocked, and the bounded join reports it.
#include <halvix/os/osQueue.h>

#include "StressSupport.h"

#include <cstdint>
#include <future>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace halvix::os;
using namespace halvix::test;

long pickTimeout(std::mt19937& random)
{
    static const long kTimeouts[] = {0, 1, -1};
    return kTimeouts[random() % 3];
}

// A message carries its writer and sequence number; null is the readers' stop message.
constexpr int kWriterShift = 40;
constexpr long kBoundMs = std::chrono::milliseconds(kBound).count();

struct ReaderTally
{
    long read = 0;
    uint64_t checksum = 0;
    long outOfOrder = 0;
    long anomalies = 0;
};

// Capacity, writers, readers. A one-slot queue makes nearly every operation
// wait; a wider one lets writers run ahead of readers.
class OsQueueStress : public testing::TestWithParam<std::tuple<int, int, int>>
{
};

TEST_P(OsQueueStress, MixedTimeoutsNeitherLoseNorInventMessages)
{
    const int capacity = std::get<0>(GetParam());
    const int writerCount = std::get<1>(GetParam());
    const int readerCount = std::get<2>(GetParam());
    const long perWriter = scaled(40000L, 40000L, 12000L);
    Volume volume("os queue of " + std::to_string(capacity) + ", mixed time-outs");
    void* queue = osQueueCreate(capacity);
    std::vector<long> written(writerCount, 0);
    std::vector<uint64_t> writtenSum(writerCount, 0);
    std::vector<ReaderTally> tallies(readerCount);
    std::vector<std::future<void>> writers;
    std::vector<std::future<void>> readers;
    for (int w = 0; w < writerCount; ++w) {
        writers.push_back(std::async(std::launch::async, [&, w] {
            std::mt19937 random(w + 1);
            for (long s = 1; s <= perWriter; ++s) {
                const uintptr_t value = (static_cast<uintptr_t>(w + 1) << kWriterShift) | s;
                if (osQueueWrite(queue, reinterpret_cast<void*>(value), pickTimeout(random))) {
                    ++written[w];
                    writtenSum[w] += value;
                }
            }
        }));
    }
    for (int r = 0; r < readerCount; ++r) {
        readers.push_back(std::async(std::launch::async, [&, r] {
            std::mt19937 random(100 + r);
            ReaderTally& tally = tallies[r];
            std::vector<long> last(writerCount, 0);
            for (;;) {
                void* message = reinterpret_cast<void*>(1);
                if (!osQueueRead(queue, &message, pickTimeout(random))) {
                    tally.anomalies += message != nullptr;  // a failed read yields null
                    continue;
                }
                const uintptr_t value = reinterpret_cast<uintptr_t>(message);
                if (value == 0) {
                    return;
                }
                const int writer = static_cast<int>(value >> kWriterShift) - 1;
                const long sequence = static_cast<long>(value & ((uintptr_t(1) << kWriterShift) - 1));
                tally.outOfOrder += sequence <= last[writer];
                last[writer] = sequence;
                ++tally.read;
                tally.checksum += value;
                const int size = osQueueSize(queue);
                tally.anomalies += size < 0 || size > capacity;
            }
        }));
    }
    joinWithin(writers);
    for (int r = 0; r < readerCount; ++r) {
        EXPECT_TRUE(osQueueWrite(queue, nullptr, kBoundMs));  // behind every message
    }
    joinWithin(readers);
    EXPECT_EQ(osQueueSize(queue), 0);
    osQueueDestroy(queue);

    long writtenTotal = 0;
    long readTotal = 0;
    uint64_t writtenChecksum = 0;
    uint64_t readChecksum = 0;
    for (int w = 0; w < writerCount; ++w) {
        writtenTotal += written[w];
        writtenChecksum += writtenSum[w];
    }
    for (const ReaderTally& tally : tallies) {
        readTotal += tally.read;
        readChecksum += tally.checksum;
        EXPECT_EQ(tally.outOfOrder, 0);
        EXPECT_EQ(tally.anomalies, 0);
    }
    EXPECT_EQ(writtenTotal, readTotal);
    EXPECT_EQ(writtenChecksum, readChecksum);
    EXPECT_GT(readTotal, 0);
    volume.report(writtenTotal, "messages");
}

INSTANTIATE_TEST_SUITE_P(Slots, OsQueueStress, testing::Values(std::tuple{1, 3, 2}, std::tuple{16, 4, 3}),
                         [](const testing::TestParamInfo<std::tuple<int, int, int>>& tested) {
                             return std::to_string(std::get<0>(tested.param)) + "Slots" +
                                    std::to_string(std::get<1>(tested.param)) + "Writers" +
                                    std::to_string(std::get<2>(tested.param)) + "Readers";
                         });

TEST(OsSemaphoreStress, MixedTimeoutsKeepGivesEqualToTakesPlusUnitsLeft)
{
    const long perTaker = scaled(100000L, 100000L, 30000L);
    const int givers = 3;
    const int takers = 3;
    const long initialCount = 5;
    const long gives = takers * perTaker - initialCount;  // exactly what the takers are owed
    Volume volume("os semaphore, mixed time-outs");
    osSemaphore_t semaphore = osSemaphoreCreate(initialCount);
    std::vector<std::future<void>> threads;
    for (int g = 0; g < givers; ++g) {
        threads.push_back(std::async(std::launch::async, [&, g] {
            std::mt19937 random(g + 7);
            for (long i = g; i < gives; i += givers) {
                osSemaphoreGive(semaphore);
                if (random() % 64 == 0) {
                    std::this_thread::yield();  // let the count reach zero now and then
                }
            }
        }));
    }
    std::vector<long> taken(takers, 0);
    for (int t = 0; t < takers; ++t) {
        threads.push_back(std::async(std::launch::async, [&, t] {
            std::mt19937 random(t + 70);
            while (taken[t] < perTaker) {
                taken[t] += osSemaphoreTake(semaphore, pickTimeout(random));
            }
        }));
    }
    joinWithin(threads);
    long left = 0;
    while (osSemaphoreTake(semaphore, 0)) {
        ++left;
    }
    osSemaphoreDestroy(semaphore);
    long takes = 0;
    for (long count : taken) {
        takes += count;
    }
    EXPECT_EQ(initialCount + gives, takes + left);
    EXPECT_EQ(left, 0);
    volume.report(gives, "gives");
}

}  // namespace
