// Cost of the macro layer: Queue::write/read between two threads, and a write
// through one forwarding queue to three targets, each beside the raw OS
// message queue doing the same hand-off in the same run; and the write path
// alone, plain and forwarded, on one thread and forwarded from two.
#include <halvix/command/Macro.h>
#include <halvix/command/NoOpCommand.h>
#include <halvix/os/osQueue.h>
#include <halvix/queue/Queue.h>

#include "common/Recording.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using halvix::command::Macro;
using halvix::queue::Queue;

constexpr int SLOTS = 1024;
constexpr int ITEMS = 200000;

// One macro passed around by pointer: neither executed nor allocated per item,
// so only the hand-off is measured.
Macro& sharedMacro()
{
    static Macro macro("bench", false, false);
    return macro;
}

void rawSpsc(benchmark::State& state)
{
    void* queue = halvix::os::osQueueCreate(SLOTS);
    void* message = &sharedMacro();
    for (auto _ : state) {
        std::thread consumer([queue] {
            void* taken = nullptr;
            for (int i = 0; i < ITEMS; ++i) {
                halvix::os::osQueueRead(queue, &taken, -1);
            }
        });
        for (int i = 0; i < ITEMS; ++i) {
            halvix::os::osQueueWrite(queue, message, -1);
        }
        consumer.join();
    }
    state.SetItemsProcessed(state.iterations() * ITEMS);
    halvix::os::osQueueDestroy(queue);
}

void macroQueueSpsc(benchmark::State& state)
{
    Queue queue("bench-spsc", SLOTS);
    const Macro* macro = &sharedMacro();
    for (auto _ : state) {
        std::thread consumer([&queue] {
            Macro* taken = nullptr;
            for (int i = 0; i < ITEMS; ++i) {
                queue.read(taken, -1);
            }
        });
        for (int i = 0; i < ITEMS; ++i) {
            queue.write(macro, -1);
        }
        consumer.join();
    }
    state.SetItemsProcessed(state.iterations() * ITEMS);
}

// Three consumers, each draining its own queue until told how many it got.
template <typename Read>
std::vector<std::thread> startConsumers(int consumers, std::atomic<int>& remaining, Read read)
{
    std::vector<std::thread> threads;
    for (int c = 0; c < consumers; ++c) {
        threads.emplace_back([c, &remaining, read] {
            while (remaining.load(std::memory_order_relaxed) > 0) {
                if (read(c)) {
                    remaining.fetch_sub(1, std::memory_order_relaxed);
                }
            }
        });
    }
    return threads;
}

void rawRoundRobinToThree(benchmark::State& state)
{
    void* queues[3] = {halvix::os::osQueueCreate(SLOTS), halvix::os::osQueueCreate(SLOTS),
                       halvix::os::osQueueCreate(SLOTS)};
    void* message = &sharedMacro();
    for (auto _ : state) {
        std::atomic<int> remaining{ITEMS};
        auto consumers = startConsumers(3, remaining, [&queues](int c) {
            void* taken = nullptr;
            return halvix::os::osQueueRead(queues[c], &taken, 1);
        });
        for (int i = 0; i < ITEMS; ++i) {
            halvix::os::osQueueWrite(queues[i % 3], message, -1);
        }
        for (auto& consumer : consumers) {
            consumer.join();
        }
    }
    state.SetItemsProcessed(state.iterations() * ITEMS);
    for (void* queue : queues) {
        halvix::os::osQueueDestroy(queue);
    }
}

void forwardingToThree(benchmark::State& state)
{
    Queue front("bench-front", SLOTS);
    Queue t0("bench-t0", SLOTS), t1("bench-t1", SLOTS), t2("bench-t2", SLOTS);
    Queue* targets[3] = {&t0, &t1, &t2};
    for (Queue* target : targets) {
        front.startForwardingTo(target);
    }
    const Macro* macro = &sharedMacro();
    for (auto _ : state) {
        std::atomic<int> remaining{ITEMS};
        auto consumers = startConsumers(3, remaining, [&targets](int c) {
            Macro* taken = nullptr;
            return targets[c]->read(taken, 1);
        });
        for (int i = 0; i < ITEMS; ++i) {
            front.write(macro, -1);
        }
        for (auto& consumer : consumers) {
            consumer.join();
        }
    }
    state.SetItemsProcessed(state.iterations() * ITEMS);
}

// The write path alone, on one thread with nobody reading: SLOTS writes
// straight into a queue, or through a queue that forwards to three, then an
// untimed drain. What forwarding adds to a write (choosing the target, the
// forwarding guard) shows here without the noise of the hand-off between
// threads.
void writeAlone(benchmark::State& state, bool forwarded)
{
    Queue front("bench-alone-front", SLOTS);
    std::vector<std::unique_ptr<Queue>> targets;
    for (int t = 0; forwarded && t < 3; ++t) {
        targets.push_back(std::make_unique<Queue>("bench-alone-" + std::to_string(t), SLOTS));
        front.startForwardingTo(targets.back().get());
    }
    const Macro* macro = &sharedMacro();
    for (auto _ : state) {
        for (int i = 0; i < SLOTS; ++i) {
            front.write(macro, 0);
        }
        state.PauseTiming();
        Macro* taken = nullptr;
        while (front.read(taken, 0)) {
        }
        for (auto& target : targets) {
            while (target->read(taken, 0)) {
            }
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * SLOTS);
}

// The same forwarded writes from two threads at once into one forwarding
// queue, where whatever every forwarded write touches (the forwarding guard
// among it) passes between the writers' CPUs.
void forwardedWritesFromTwo(benchmark::State& state)
{
    constexpr int PER_WRITER = 6000;
    Queue front("bench-two-front", SLOTS);
    std::vector<std::unique_ptr<Queue>> targets;
    for (int t = 0; t < 3; ++t) {
        targets.push_back(std::make_unique<Queue>("bench-two-" + std::to_string(t), 4096));
        front.startForwardingTo(targets.back().get());
    }
    const Macro* macro = &sharedMacro();
    for (auto _ : state) {
        std::thread other([&] {
            for (int i = 0; i < PER_WRITER; ++i) {
                front.write(macro, 0);
            }
        });
        for (int i = 0; i < PER_WRITER; ++i) {
            front.write(macro, 0);
        }
        other.join();
        state.PauseTiming();
        Macro* taken = nullptr;
        for (auto& target : targets) {
            while (target->read(taken, 0)) {
            }
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * 2 * PER_WRITER);
}

BENCHMARK(rawSpsc)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(macroQueueSpsc)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(rawRoundRobinToThree)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(forwardingToThree)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(writeAlone, plain, false)->UseRealTime();
BENCHMARK_CAPTURE(writeAlone, forwarded, true)->UseRealTime();
BENCHMARK(forwardedWritesFromTwo)->UseRealTime();

// macroQueueSpsc with observation counting, then with the execution
// timeline recording (every write that waits for room is an event); last,
// since observation stays on once switched on.
void macroQueueSpscCounted(benchmark::State& state)
{
    halvix::observe::startCounting();
    macroQueueSpsc(state);
}
BENCHMARK(macroQueueSpscCounted)->UseRealTime()->Unit(benchmark::kMillisecond);

void macroQueueSpscRecorded(benchmark::State& state)
{
    bench::Recording recording;
    macroQueueSpsc(state);
}
BENCHMARK(macroQueueSpscRecorded)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
