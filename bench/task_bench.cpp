// A Task's event loop against a hand-written worker: a std::thread taking
// std::function's from a bounded std::mutex / std::condition_variable queue.
//
//   Throughput: a writer thread posts batches of 4096 one-NoOpCommand macros
//   (1024 event-queue slots); each batch ends with a fence the writer waits
//   for. The macros are preallocated and cycle through a pool larger than the
//   queue, so allocation is not measured (see CyclingMacro).
//   Round trip: the writer posts one macro and waits for its answer, which the
//   macro writes into a reply queue read by the writer.
//   Alone: the Task's own cost per macro, without a second thread in the way:
//   one macro writes itself back into the Task's queue 4096 times and then
//   answers. Under observation its time less the plain one is what counting
//   or recording costs the Task per macro.
#include "common/CyclingMacro.h"
#include "common/Recording.h"
#include "halvix/command/Macro.h"
#include "halvix/command/NoOpCommand.h"
#include "halvix/queue/Queue.h"
#include "halvix/queue/WriteCommand.h"
#include "halvix/task/Task.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using bench::CyclingMacro;
using halvix::command::Command;
using halvix::command::Macro;
using halvix::command::NoOpCommand;
using halvix::queue::Queue;
using halvix::queue::WriteCommand;
using halvix::task::Task;

constexpr int SLOTS = 1024;
constexpr int BATCH = 4096;
// More macros than slots + 1: when the writer posts a macro again, the Task
// has already read a later one, so it has finished with this one.
constexpr int POOL = SLOTS + 2;

// Counts the batches the Task has finished.
class FenceCommand : public Command
{
public:
    explicit FenceCommand(std::atomic<uint64_t>* counter) : Command("Fence"), done(counter) {}

protected:
    int myExecute() override
    {
        done->fetch_add(1, std::memory_order_release);
        return 0;
    }

private:
    std::atomic<uint64_t>* done;
};

void waitFor(const std::atomic<uint64_t>& counter, uint64_t value)
{
    while (counter.load(std::memory_order_acquire) < value) {
        std::this_thread::yield();
    }
}

void taskMacroThroughput(benchmark::State& state)
{
    Task task("bench-throughput", nullptr, SLOTS);
    Queue* events = task.getEventQueuePtr();
    std::vector<std::unique_ptr<CyclingMacro>> pool;
    for (int i = 0; i < POOL; ++i) {
        pool.push_back(std::make_unique<CyclingMacro>("noop"));
        pool.back()->add(new NoOpCommand());
    }
    std::atomic<uint64_t> batchesDone{0};
    CyclingMacro fence("fence");
    fence.add(new FenceCommand(&batchesDone));
    task.start(nullptr, nullptr, false);

    uint64_t batches = 0;
    size_t next = 0;
    for (auto _ : state) {
        for (int i = 0; i < BATCH; ++i) {
            events->write(pool[next].get(), -1);
            next = (next + 1) % pool.size();
        }
        events->write(&fence, -1);
        waitFor(batchesDone, ++batches);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * BATCH);
    task.terminate(true);
}
void BM_TaskMacroThroughput(benchmark::State& state)
{
    taskMacroThroughput(state);
}
BENCHMARK(BM_TaskMacroThroughput)->UseRealTime();

// The baseline worker: std::function's through a bounded queue.
class StdWorker
{
public:
    StdWorker() : thread([this] { loop(); }) {}
    ~StdWorker()
    {
        post({});  // an empty function ends the loop
        thread.join();
    }

    void post(std::function<void()> work)
    {
        std::unique_lock<std::mutex> lock(mutex);
        notFull.wait(lock, [this] { return jobs.size() < static_cast<size_t>(SLOTS); });
        jobs.push_back(std::move(work));
        lock.unlock();
        notEmpty.notify_one();
    }

private:
    void loop()
    {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex);
            notEmpty.wait(lock, [this] { return !jobs.empty(); });
            std::function<void()> work = std::move(jobs.front());
            jobs.pop_front();
            lock.unlock();
            notFull.notify_one();
            if (!work) {
                return;
            }
            work();
        }
    }

    std::mutex mutex;
    std::condition_variable notEmpty;
    std::condition_variable notFull;
    std::deque<std::function<void()>> jobs;  // guarded by mutex
    std::thread thread;
};

void BM_StdWorkerThroughput(benchmark::State& state)
{
    StdWorker worker;
    std::atomic<uint64_t> batchesDone{0};
    uint64_t batches = 0;
    for (auto _ : state) {
        for (int i = 0; i < BATCH; ++i) {
            worker.post([] {});
        }
        worker.post([&batchesDone] { batchesDone.fetch_add(1, std::memory_order_release); });
        waitFor(batchesDone, ++batches);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * BATCH);
}
BENCHMARK(BM_StdWorkerThroughput)->UseRealTime();

void taskRoundTrip(benchmark::State& state)
{
    Task task("bench-roundtrip", nullptr, SLOTS);
    Queue replies("bench-replies", 4);
    Macro answer("answer", false, false);  // only carried, never executed
    CyclingMacro ping("ping");
    ping.add(new WriteCommand(&replies, &answer, -1));
    task.start(nullptr, nullptr, false);

    Macro* reply = nullptr;
    for (auto _ : state) {
        task.getEventQueuePtr()->write(&ping, -1);
        replies.read(reply, -1);
    }
    task.terminate(true);
}
void BM_TaskRoundTrip(benchmark::State& state)
{
    taskRoundTrip(state);
}
BENCHMARK(BM_TaskRoundTrip)->UseRealTime();

int64_t threadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Writes its macro back into the Task's queue until `remaining` runs out,
// then the answer into the reply queue.
class RelayCommand : public Command
{
public:
    RelayCommand(Queue* events, Macro* self, Queue* replies, Macro* answer)
        : Command("Relay"), events(events), self(self), replies(replies), answer(answer)
    {
    }
    int remaining = 0;
    int64_t cpuNs = 0;  // the Task thread's CPU time over the batches, for a load-proof figure

protected:
    int myExecute() override
    {
        if (remaining == BATCH) {
            cpuNs -= threadCpuNs();
        }
        if (--remaining > 0) {
            return events->write(self, 0) ? 0 : 1;
        }
        cpuNs += threadCpuNs();
        return replies->write(answer, -1) ? 0 : 1;
    }

private:
    Queue* events;
    Macro* self;
    Queue* replies;
    Macro* answer;
};

void taskAlone(benchmark::State& state)
{
    Task task("bench-alone", nullptr, SLOTS);
    Queue replies("bench-alone-replies", 4);
    Macro answer("answer", false, false);  // only carried, never executed
    CyclingMacro relay("relay");
    auto* command = new RelayCommand(task.getEventQueuePtr(), &relay, &replies, &answer);
    relay.add(command);
    task.start(nullptr, nullptr, false);

    Macro* reply = nullptr;
    for (auto _ : state) {
        command->remaining = BATCH;  // the Task is idle: it answered the last batch
        task.getEventQueuePtr()->write(&relay, -1);
        replies.read(reply, -1);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * BATCH);
    // The Task thread's CPU time per macro: what a busy machine leaves of
    // the figure, as it counts only the time the thread ran.
    state.counters["taskCpuNs"] = static_cast<double>(command->cpuNs) / (state.iterations() * BATCH);
    task.terminate(true);
}
void BM_TaskAlone(benchmark::State& state)
{
    taskAlone(state);
}
BENCHMARK(BM_TaskAlone)->UseRealTime();

void BM_StdWorkerRoundTrip(benchmark::State& state)
{
    StdWorker worker;
    std::mutex mutex;
    std::condition_variable answered;
    bool answer = false;  // guarded by mutex
    for (auto _ : state) {
        worker.post([&] {
            std::lock_guard<std::mutex> lock(mutex);
            answer = true;
            answered.notify_one();
        });
        std::unique_lock<std::mutex> lock(mutex);
        answered.wait(lock, [&] { return answer; });
        answer = false;
    }
}
BENCHMARK(BM_StdWorkerRoundTrip)->UseRealTime();

// The same with observation on: counting only, then with the execution
// timeline recording every macro; last, since observation stays on once
// switched on.
void BM_TaskMacroThroughputCounted(benchmark::State& state)
{
    halvix::observe::startCounting();
    taskMacroThroughput(state);
}
BENCHMARK(BM_TaskMacroThroughputCounted)->UseRealTime();

void BM_TaskRoundTripCounted(benchmark::State& state)
{
    halvix::observe::startCounting();
    taskRoundTrip(state);
}
BENCHMARK(BM_TaskRoundTripCounted)->UseRealTime();

void BM_TaskAloneCounted(benchmark::State& state)
{
    halvix::observe::startCounting();
    taskAlone(state);
}
BENCHMARK(BM_TaskAloneCounted)->UseRealTime();

void BM_TaskMacroThroughputRecorded(benchmark::State& state)
{
    bench::Recording recording;
    taskMacroThroughput(state);
}
BENCHMARK(BM_TaskMacroThroughputRecorded)->UseRealTime();

void BM_TaskRoundTripRecorded(benchmark::State& state)
{
    bench::Recording recording;
    taskRoundTrip(state);
}
BENCHMARK(BM_TaskRoundTripRecorded)->UseRealTime();

void BM_TaskAloneRecorded(benchmark::State& state)
{
    bench::Recording recording;
    taskAlone(state);
}
BENCHMARK(BM_TaskAloneRecorded)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
