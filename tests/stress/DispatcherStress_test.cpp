// Many producers writing into one dispatcher queue that forwards to a pool of
// Tasks: every macro is executed exactly once, and each Task sees each
// producer's macros in the order in which that producer wrote them.
#include <halvix/queue/Queue.h>

#include "StressSupport.h"

#include <halvix/command/Command.h>
#include <halvix/command/Macro.h>
#include <halvix/task/Task.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using halvix::command::Command;
using halvix::command::Macro;
using halvix::queue::Queue;
using halvix::task::Task;
using namespace halvix::stress;

constexpr int kProducers = 8;
constexpr int kWorkers = 4;
constexpr int kMacrosPerProducerPool = 128;
constexpr unsigned long kEventQueueSlots = 128;

// Which worker the calling thread is; set by each worker's initialize().
thread_local int workerIndex = -1;

// What one worker saw. Written only on that worker's thread; the test reads
// it after terminate(true), whose join orders the reads after the writes.
struct WorkerLog
{
    std::array<long, kProducers> lastSequence;
    long executed = 0;
    uint64_t checksum = 0;
    long outOfOrder = 0;
    long unknownThread = 0;
    WorkerLog() { lastSequence.fill(-1); }
};

struct Ledger
{
    std::array<WorkerLog, kWorkers> workers;
    // seen[p][s]: how often producer p's macro s ran; incremented on the
    // workers, read after they have been joined, so relaxed is enough.
    std::vector<std::unique_ptr<std::atomic<uint8_t>[]>> seen;
    long perProducer;
    std::atomic<long> unknownWorker{0};  // macros run by a thread that is no worker

    explicit Ledger(long perProducer) : perProducer(perProducer)
    {
        for (int p = 0; p < kProducers; ++p) {
            seen.emplace_back(new std::atomic<uint8_t>[perProducer]());
        }
    }
};

uint64_t weightOf(int producer, long sequence)
{
    return static_cast<uint64_t>(sequence) * kProducers + static_cast<uint64_t>(producer) + 1;
}

class PooledMacro;

// The macros of one producer, reused: the producer takes one, stamps it and
// writes it; the worker that ran it gives it back.
class MacroPool
{
public:
    void give(PooledMacro* macro)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            free.push_back(macro);
        }
        returned.notify_one();
    }

    // Null when no macro came back within the bound: macros were lost.
    PooledMacro* take()
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!returned.wait_for(lock, kBound, [this] { return !free.empty(); })) {
            return nullptr;
        }
        PooledMacro* macro = free.back();
        free.pop_back();
        return macro;
    }

    size_t available()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return free.size();
    }

    std::vector<std::unique_ptr<PooledMacro>> owned;

private:
    std::mutex mutex;
    std::condition_variable returned;
    std::vector<PooledMacro*> free;  // guarded by mutex
};

class RecordCommand : public Command
{
public:
    RecordCommand(Ledger& ledger, const PooledMacro& owner) : Command("Record"), ledger(ledger), owner(owner)
    {
    }

protected:
    int myExecute() override;

private:
    Ledger& ledger;
    const PooledMacro& owner;
};

// Not auto-delete: after its run it rewinds and returns to its pool. That
// hand-back is the last thing its run does, so nobody touches it after the
// producer may have taken it again.
class PooledMacro : public Macro
{
public:
    PooledMacro(Ledger& ledger, MacroPool& pool, int producer)
        : Macro("Pooled", false, false), producer(producer), pool(pool)
    {
        add(new RecordCommand(ledger, *this));
    }
    const int producer;
    long sequence = -1;  // stamped by the producer before each write

protected:
    int myExecute() override
    {
        const int result = Macro::myExecute();
        reset();
        pool.give(this);
        return result;
    }

private:
    MacroPool& pool;
};

int RecordCommand::myExecute()
{
    const int producer = owner.producer;
    const long sequence = owner.sequence;
    if (workerIndex < 0) {
        ledger.unknownWorker.fetch_add(1, std::memory_order_relaxed);
        return 1;
    }
    WorkerLog& log = ledger.workers[workerIndex];
    ledger.seen[producer][sequence].fetch_add(1, std::memory_order_relaxed);
    if (sequence <= log.lastSequence[producer]) {
        ++log.outOfOrder;
    }
    log.lastSequence[producer] = sequence;
    ++log.executed;
    log.checksum += weightOf(producer, sequence);
    return 0;
}

class Worker : public Task
{
public:
    Worker(int index, Queue* dispatcher)
        : Task("stress-worker-" + std::to_string(index), dispatcher, kEventQueueSlots), index(index)
    {
    }
    // initialize() uses a member: stop the thread before this part goes.
    ~Worker() override
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
    Ledger ledger(perProducer);
    Queue dispatcher("stress-dispatcher", 64);
    std::vector<std::unique_ptr<Worker>> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.push_back(std::make_unique<Worker>(w, &dispatcher));
        ASSERT_TRUE(workers.back()->start(nullptr, nullptr, false));
    }
    ASSERT_EQ(dispatcher.getNumQueuesToForwardTo(), static_cast<unsigned long>(kWorkers));

    std::array<MacroPool, kProducers> pools;
    for (int p = 0; p < kProducers; ++p) {
        for (int m = 0; m < kMacrosPerProducerPool; ++m) {
            pools[p].owned.push_back(std::make_unique<PooledMacro>(ledger, pools[p], p));
            pools[p].give(pools[p].owned.back().get());
        }
    }

    std::atomic<long> failedWrites{0};
    std::atomic<long> starved{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (long s = 0; s < perProducer; ++s) {
                PooledMacro* macro = pools[p].take();
                if (macro == nullptr) {
                    starved.fetch_add(1);
                    return;
                }
                macro->sequence = s;
                if (!dispatcher.write(macro, -1)) {
                    failedWrites.fetch_add(1);
                    pools[p].give(macro);
                }
            }
        });
    }
    for (auto& producer : producers) {
        producer.join();
    }
    // Every write has reached an event queue; each termination request goes
    // behind what its Task still holds.
    for (auto& worker : workers) {
        EXPECT_TRUE(worker->terminate(true));
        EXPECT_EQ(worker->getExitStatus(), Task::SUCCESSFUL);
    }
    for (auto& worker : workers) {
        worker->removeQueue(&dispatcher);
    }
    const long total = perProducer * kProducers;
    volume.report(total, "macros");

    EXPECT_EQ(failedWrites.load(), 0);
    EXPECT_EQ(starved.load(), 0);
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
    // Sum of weightOf over all (p, s): weights are 1..total, each once.
    EXPECT_EQ(checksum, static_cast<uint64_t>(total) * (static_cast<uint64_t>(total) + 1) / 2);
    long notOnce = 0;
    for (int p = 0; p < kProducers; ++p) {
        for (long s = 0; s < perProducer; ++s) {
            notOnce += ledger.seen[p][s].load(std::memory_order_relaxed) != 1;
        }
        EXPECT_EQ(pools[p].available(), static_cast<size_t>(kMacrosPerProducerPool)) << "producer " << p;
    }
    EXPECT_EQ(notOnce, 0);
    EXPECT_EQ(dispatcher.size(), 0u);
}

}  // namespace
