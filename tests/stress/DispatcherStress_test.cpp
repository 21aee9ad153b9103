// Many producers writing into one dispatcher queue that forwards to a pool of
// Tasks: every macro is executed exactly once, and each Task sees each
// producer's macros in the order in which that producer wrote them.
#include <halvix/queue/Queue.h>

#include "StressSupport.h"
#include "task/TaskTestSupport.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using halvix::command::Macro;
using halvix::queue::Queue;
using halvix::task::Task;
using namespace halvix::test;

constexpr int kProducers = 8;
constexpr int kWorkers = 4;

thread_local int workerIndex = -1;  // set by each worker's initialize()

// What one worker saw. Written only on that worker's thread; read after
// terminate(true), whose join orders the reads after the writes.
struct WorkerLog
{
    std::array<long, kProducers> lastSequence;
    long executed = 0;
    uint64_t checksum = 0;
    long outOfOrder = 0;
    WorkerLog() { lastSequence.fill(-1); }
};

struct Ledger
{
    std::array<WorkerLog, kWorkers> workers;
    // seen[p][s]: how often producer p's macro s ran; read after the workers
    // are joined, so relaxed increments are enough.
    std::vector<std::unique_ptr<std::atomic<uint8_t>[]>> seen;
    std::atomic<long> unknownWorker{0};  // macros run by a thread that is no worker
};

// Weights 1..total, each (producer, sequence) once: their sum is the checksum.
uint64_t weightOf(int producer, long sequence)
{
    return static_cast<uint64_t>(sequence) * kProducers + static_cast<uint64_t>(producer) + 1;
}

Macro* recordingMacro(Ledger& ledger, int producer, long sequence)
{
    return macroOf("Record", [&ledger, producer, sequence] {
        if (workerIndex < 0) {
            ledger.unknownWorker.fetch_add(1, std::memory_order_relaxed);
            return 1;
        }
        WorkerLog& log = ledger.workers[workerIndex];
        ledger.seen[producer][sequence].fetch_add(1, std::memory_order_relaxed);
        log.outOfOrder += sequence <= log.lastSequence[producer];
        log.lastSequence[producer] = sequence;
        ++log.executed;
        log.checksum += weightOf(producer, sequence);
        return 0;
    });
}

class Worker : public Task
{
public:
    Worker(int position, Queue* dispatcher)
        : Task("stress-worker-" + std::to_string(position), dispatcher, 128), index(position)
    {
    }
    ~Worker() override  // initialize() uses a member: stop the thread before this part goes
    {
        if (isThreadOfExecutionRunning()) {
            terminate(true);
        }
    }

protected:
    void initialize() override { workerIndex = index; }

private:
    const int index;
};

TEST(DispatcherStress, EightProducersFourWorkersEveryMacroOnceInProducerOrder)
{
    const long perProducer = scaled(200000L, 100000L, 30000L);
    Volume volume("dispatcher, 8 producers -> 1 queue -> 4 tasks");
    Ledger ledger;
    for (int p = 0; p < kProducers; ++p) {
        ledger.seen.emplace_back(new std::atomic<uint8_t>[perProducer]());
    }
    Queue dispatcher("stress-dispatcher", 64);
    std::vector<std::unique_ptr<Worker>> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.push_back(std::make_unique<Worker>(w, &dispatcher));
        ASSERT_TRUE(workers.back()->start(nullptr, nullptr, false));
    }
    ASSERT_EQ(dispatcher.getNumQueuesToForwardTo(), static_cast<unsigned long>(kWorkers));

    std::atomic<long> failedWrites{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (long s = 0; s < perProducer; ++s) {
                Macro* macro = recordingMacro(ledger, p, s);
                if (!dispatcher.write(macro, -1)) {
                    failedWrites.fetch_add(1);
                    delete macro;
                }
            }
        });
    }
    for (auto& producer : producers) {
        producer.join();
    }
    // Every write has reached an event queue; each request goes behind what its Task holds.
    for (auto& worker : workers) {
        // The request is written without waiting: give it a free slot first
        // (nothing else writes to the event queues any more).
        while (worker->getEventQueuePtr()->size() >= worker->getEventQueuePtr()->getMaxMacros()) {
            std::this_thread::yield();
        }
        EXPECT_TRUE(worker->terminate(true));
        EXPECT_EQ(worker->getExitStatus(), Task::SUCCESSFUL);
        worker->removeQueue(&dispatcher);
    }
    const long total = perProducer * kProducers;
    volume.report(total, "macros");

    EXPECT_EQ(failedWrites.load(), 0);
    EXPECT_EQ(ledger.unknownWorker.load(), 0);
    long executed = 0;
    uint64_t checksum = 0;
    for (int w = 0; w < kWorkers; ++w) {
        const WorkerLog& log = ledger.workers[w];
        EXPECT_EQ(log.outOfOrder, 0) << "worker " << w;
        EXPECT_GT(log.executed, 0) << "worker " << w << " got nothing: the pool did not spread the load";
        executed += log.executed;
        checksum += log.checksum;
    }
    EXPECT_EQ(executed, total);
    EXPECT_EQ(checksum, static_cast<uint64_t>(total) * (static_cast<uint64_t>(total) + 1) / 2);
    long notOnce = 0;
    for (int p = 0; p < kProducers; ++p) {
        for (long s = 0; s < perProducer; ++s) {
            notOnce += ledger.seen[p][s].load(std::memory_order_relaxed) != 1;
        }
    }
    EXPECT_EQ(notOnce, 0);
    EXPECT_EQ(dispatcher.size(), 0u);
}

}  // namespace
