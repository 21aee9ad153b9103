// OS message queues and semaphores hammered from several threads at once,
// each operation with a time-out of 0, 1 ms or -1 picked at random. Whatever
// timed out, the books balance at the end:
//   queue:     messages written == messages read + messages left;
//   semaphore: initial count + gives == takes + units left;
// with checksums over the messages and each writer's messages arriving in
// its order at every reader.
#include <halvix/os/osQueue.h>

#include "StressSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace halvix::os;
using namespace halvix::stress;

// Time-outs mixed at random: polls, short waits and waits without limit.
long pickTimeout(std::mt19937& random)
{
    static const long kTimeouts[] = {0, 1, -1};
    return kTimeouts[random() % 3];
}

// A message carries its writer and sequence number; 0 marks the readers'
// stop message, which no writer sends.
constexpr int kWriterShift = 40;
uintptr_t encode(int writer, long sequence)
{
    return (static_cast<uintptr_t>(writer + 1) << kWriterShift) | static_cast<uintptr_t>(sequence);
}

struct QueueCase
{
    int capacity;
    int writers;
    int readers;
};

struct ReaderTally
{
    long read = 0;
    long stopsRead = 0;
    uint64_t checksum = 0;
    long outOfOrder = 0;
    long anomalies = 0;
};

TEST(OsQueueStress, MixedTimeoutsNeitherLoseNorInventMessages)
{
    const long perWriter = scaled(40000L, 40000L, 12000L);
    Volume volume("os queues, mixed time-outs");
    long totalMessages = 0;
    // A one-slot queue makes nearly every operation wait; a wider one lets
    // writers run ahead of readers.
    for (const QueueCase c : {QueueCase{1, 3, 2}, QueueCase{16, 4, 3}}) {
        SCOPED_TRACE("capacity " + std::to_string(c.capacity));
        void* queue = osQueueCreate(c.capacity);
        std::vector<long> written(c.writers, 0);
        std::vector<uint64_t> writtenSum(c.writers, 0);
        std::vector<ReaderTally> tallies(c.readers);
        std::atomic<bool> stop{false};
        std::atomic<int> readersDone{0};

        std::vector<std::thread> writers;
        for (int w = 0; w < c.writers; ++w) {
            writers.emplace_back([&, w] {
                std::mt19937 random(w + 1);
                for (long s = 1; s <= perWriter; ++s) {
                    if (osQueueWrite(queue, reinterpret_cast<void*>(encode(w, s)), pickTimeout(random))) {
                        ++written[w];
                        writtenSum[w] += encode(w, s);
                    }
                }
            });
        }
        std::vector<std::thread> readers;
        for (int r = 0; r < c.readers; ++r) {
            readers.emplace_back([&, r] {
                std::mt19937 random(100 + r);
                ReaderTally& tally = tallies[r];
                std::vector<long> last(c.writers, 0);
                while (!stop.load()) {
                    void* message = reinterpret_cast<void*>(1);
                    if (!osQueueRead(queue, &message, pickTimeout(random))) {
                        tally.anomalies += message != nullptr;  // a failed read yields null
                        continue;
                    }
                    const uintptr_t value = reinterpret_cast<uintptr_t>(message);
                    if (value == 0) {
                        ++tally.stopsRead;
                        break;
                    }
                    const int writer = static_cast<int>(value >> kWriterShift) - 1;
                    const long sequence = static_cast<long>(value & ((uintptr_t(1) << kWriterShift) - 1));
                    tally.outOfOrder += sequence <= last[writer];
                    last[writer] = sequence;
                    ++tally.read;
                    tally.checksum += value;
                    const int size = osQueueSize(queue);
                    tally.anomalies += size < 0 || size > c.capacity;
                }
                readersDone.fetch_add(1);
            });
        }
        for (auto& writer : writers) {
            writer.join();
        }
        // Readers stop at the flag or at a stop message: one waiting without
        // limit in an empty queue needs the message to wake up.
        stop.store(true);
        long stopsWritten = 0;
        while (readersDone.load() < c.readers) {
            stopsWritten += osQueueWrite(queue, nullptr, 1);
        }
        for (auto& reader : readers) {
            reader.join();
        }
        long left = 0;
        long stopsLeft = 0;
        uint64_t leftSum = 0;
        void* message = nullptr;
        while (osQueueRead(queue, &message, 0)) {
            if (message == nullptr) {
                ++stopsLeft;
            } else {
                ++left;
                leftSum += reinterpret_cast<uintptr_t>(message);
            }
        }
        EXPECT_EQ(osQueueSize(queue), 0);
        osQueueDestroy(queue);

        long writtenTotal = 0;
        uint64_t writtenChecksum = 0;
        for (int w = 0; w < c.writers; ++w) {
            writtenTotal += written[w];
            writtenChecksum += writtenSum[w];
        }
        long readTotal = 0;
        long stopsRead = 0;
        uint64_t readChecksum = 0;
        for (const ReaderTally& tally : tallies) {
            readTotal += tally.read;
            stopsRead += tally.stopsRead;
            readChecksum += tally.checksum;
            EXPECT_EQ(tally.outOfOrder, 0);
            EXPECT_EQ(tally.anomalies, 0);
        }
        EXPECT_EQ(writtenTotal, readTotal + left);
        EXPECT_EQ(writtenChecksum, readChecksum + leftSum);
        EXPECT_EQ(stopsWritten, stopsRead + stopsLeft);
        EXPECT_GT(readTotal, 0);
        totalMessages += writtenTotal;
    }
    volume.report(totalMessages, "messages");
}

TEST(OsSemaphoreStress, MixedTimeoutsKeepGivesEqualToTakesPlusUnitsLeft)
{
    const long perGiver = scaled(100000L, 100000L, 30000L);
    const int givers = 3;
    const int takers = 3;
    const long initialCount = 5;
    Volume volume("os semaphore, mixed time-outs");
    osSemaphore_t semaphore = osSemaphoreCreate(initialCount);
    std::vector<long> taken(takers, 0);
    std::atomic<bool> stop{false};
    std::atomic<int> takersDone{0};

    std::vector<std::thread> threads;
    for (int g = 0; g < givers; ++g) {
        threads.emplace_back([&, g] {
            std::mt19937 random(g + 7);
            for (long i = 0; i < perGiver; ++i) {
                osSemaphoreGive(semaphore);
                if (random() % 64 == 0) {
                    std::this_thread::yield();  // let the count reach zero now and then
                }
            }
        });
    }
    std::vector<std::thread> takerThreads;
    for (int t = 0; t < takers; ++t) {
        takerThreads.emplace_back([&, t] {
            std::mt19937 random(t + 70);
            while (!stop.load()) {
                taken[t] += osSemaphoreTake(semaphore, pickTimeout(random));
            }
            takersDone.fetch_add(1);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    // A taker waiting without limit needs one more unit to see the flag.
    stop.store(true);
    long extraGives = 0;
    while (takersDone.load() < takers) {
        osSemaphoreGive(semaphore);
        ++extraGives;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    for (auto& thread : takerThreads) {
        thread.join();
    }
    long left = 0;
    while (osSemaphoreTake(semaphore, 0)) {
        ++left;
    }
    osSemaphoreDestroy(semaphore);

    long takes = 0;
    for (long count : taken) {
        takes += count;
    }
    const long gives = givers * perGiver + extraGives;
    EXPECT_EQ(initialCount + gives, takes + left);
    EXPECT_GT(takes, 0);
    volume.report(gives, "gives");
}

}  // namespace
