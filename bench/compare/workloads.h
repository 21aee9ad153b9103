// bench/compare/workloads.h - the workloads, written once over a queue adapter.
//
// A queue adapter is a class with a constructor taking the slot count, and
// blocking `void push(void*)` and `void* pop()`. Messages are non-null
// pointers made from counters; null is reserved as the "stop" message.
#ifndef HALVIX_BENCH_COMPARE_WORKLOADS_H
#define HALVIX_BENCH_COMPARE_WORKLOADS_H

#include "compare.h"

#include "common/Message.h"

#include <atomic>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace compare {

using bench::messageOf;
using bench::valueOf;

// Times `roundTrip` ROUND_TRIPS times (after a short warm-up); microseconds.
std::vector<double> sampleRoundTrips(const std::function<void()>& roundTrip);

// Where the threads of a two-thread workload run: wherever the scheduler
// puts them, pinned to CPUs 0 and 1, or all on CPU 0 (as under `taskset -c 0`).
enum class Placement
{
    Free,
    TwoCpus,
    OneCpu,
};

// Pins the calling thread as `placement` asks for the thread with `role` (0
// or 1); true when it pinned anything (unpin() afterwards).
inline bool place(Placement placement, int role)
{
    switch (placement) {
    case Placement::TwoCpus:
        return pinToCpu(role);
    case Placement::OneCpu:
        return pinToCpu(0);
    default:
        return false;
    }
}

// SPSC_ITEMS pointers from a producer thread to this thread through one
// queue; also the CPU time the process spent per message (user + system,
// both threads together) when the threads run free.
template <typename Queue>
Measurement spsc(Placement placement)
{
    Queue queue(SLOTS);
    uintptr_t sum = 0;
    const bool pinned = place(placement, 0);
    const double cpuBefore = processCpuSeconds();
    const auto start = Clock::now();
    std::thread producer([&queue, placement] {
        place(placement, 1);
        for (uintptr_t i = 1; i <= SPSC_ITEMS; ++i) {
            queue.push(messageOf(i));
        }
    });
    for (uint64_t i = 0; i < SPSC_ITEMS; ++i) {
        sum += valueOf(queue.pop());
    }
    const auto elapsed = Clock::now() - start;
    producer.join();
    const double cpuSeconds = processCpuSeconds() - cpuBefore;
    if (pinned) {
        unpin();
    }
    Measurement result;
    if (placement == Placement::OneCpu) {
        result.values[Metric::SpscOneCpu] = millionsPerSecond(SPSC_ITEMS, elapsed);
    } else {
        result.values[Metric::SpscThroughput] = millionsPerSecond(SPSC_ITEMS, elapsed);
        result.values[Metric::SpscCpu] = cpuSeconds * 1e9 / SPSC_ITEMS;
    }
    if (sum != SPSC_ITEMS * (SPSC_ITEMS + 1) / 2) {
        result.flag = "WRONG SUM";
    }
    return result;
}

// One message bounced between this thread and an echo thread through two
// queues, the threads placed as asked; also the CPU time of the process per
// round trip when they run free.
template <typename Queue>
Measurement pingPong(Placement placement)
{
    Queue ping(SLOTS), pong(SLOTS);
    std::thread echo([&ping, &pong, placement] {
        place(placement, 1);
        for (;;) {
            void* message = ping.pop();
            pong.push(message);
            if (message == nullptr) {
                return;
            }
        }
    });
    const bool pinned = place(placement, 0);
    const double cpuBefore = processCpuSeconds();
    auto samples = sampleRoundTrips([&ping, &pong] {
        ping.push(messageOf(1));
        pong.pop();
    });
    // The warm-up round trips are in the CPU time too.
    const double cpuPerRoundTrip = (processCpuSeconds() - cpuBefore) * 1e6 / (ROUND_TRIPS + ROUND_TRIPS / 10);
    ping.push(nullptr);
    pong.pop();
    echo.join();
    if (pinned) {
        unpin();
    }
    switch (placement) {
    case Placement::TwoCpus:
        return latencies(std::move(samples), Metric::PingPongPinnedMedian, Metric::PingPongPinnedP99);
    case Placement::OneCpu:
        return latencies(std::move(samples), Metric::PingPongOneCpuMedian, Metric::PingPongOneCpuP99);
    default:
        break;
    }
    Measurement result = latencies(std::move(samples), Metric::PingPongMedian, Metric::PingPongP99);
    result.values[Metric::PingPongCpu] = cpuPerRoundTrip;
    return result;
}

// MPMC_THREADS producers and as many consumers on one queue. Every message
// is a distinct value; the consumers' count, sum and sum of squares must match
// what was sent, so a lost or duplicated message is flagged.
//
// Each consumer takes its share (as many messages as a producer sends)
// rather than stopping at a "stop" message: a queue need not keep the order
// between writers (moodycamel does not), so a stop message written after the
// producers finished may overtake their last messages. A consumer still
// waiting when MPMC_LIMIT has passed means messages were lost; it is released
// with null messages and the run is flagged.
template <typename Queue>
Measurement mpmc()
{
    constexpr uint64_t perProducer = MPMC_ITEMS / MPMC_THREADS;
    constexpr uint64_t total = perProducer * MPMC_THREADS;
    Queue queue(SLOTS);
    std::atomic<uint64_t> count{0}, sum{0}, squares{0};  // relaxed: read after the joins
    std::vector<std::promise<void>> finished(MPMC_THREADS);
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int c = 0; c < MPMC_THREADS; ++c) {
        threads.emplace_back([&, c] {
            uint64_t n = 0, s = 0, q = 0;
            for (void* message; n < perProducer && (message = queue.pop()) != nullptr;) {
                ++n;
                s += valueOf(message);
                q += valueOf(message) * valueOf(message);
            }
            count.fetch_add(n, std::memory_order_relaxed);
            sum.fetch_add(s, std::memory_order_relaxed);
            squares.fetch_add(q, std::memory_order_relaxed);
            finished[c].set_value();
        });
    }
    for (int p = 0; p < MPMC_THREADS; ++p) {
        threads.emplace_back([&queue, p] {
            for (uint64_t i = 1; i <= perProducer; ++i) {
                queue.push(messageOf(p * perProducer + i));
            }
        });
    }
    std::string flag;
    for (int c = 0; c < MPMC_THREADS; ++c) {
        if (finished[c].get_future().wait_until(start + MPMC_LIMIT) == std::future_status::timeout) {
            flag = "STARVED";
        }
    }
    if (!flag.empty()) {
        for (int c = 0; c < MPMC_THREADS; ++c) {
            queue.push(nullptr);
        }
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto elapsed = Clock::now() - start;
    uint64_t expectedSum = 0, expectedSquares = 0;
    for (uint64_t v = 1; v <= total; ++v) {
        expectedSum += v;
        expectedSquares += v * v;
    }
    Measurement result;
    result.values[Metric::MpmcThroughput] = millionsPerSecond(total, elapsed);
    if (count.load() != total || sum.load() != expectedSum || squares.load() != expectedSquares) {
        flag += (flag.empty() ? "" : " ") + std::string("LOST/DUP ") + std::to_string(count.load()) + "/" +
                std::to_string(total);
    }
    result.flag = flag;
    return result;
}

// Work handed to a worker thread through a queue: the worker runs the job,
// whose answer goes back to the caller through a second queue of the same
// kind. The plain "worker thread over a queue" pattern, for peers that have a
// queue but no executor of their own.
template <typename Queue>
Measurement dispatchThroughQueue()
{
    Queue work(SLOTS), replies(SLOTS);
    struct Job
    {
        Queue* replies;
        uintptr_t done = 0;
        void run()
        {
            ++done;
            replies->push(this);
        }
    } job{&replies};
    std::thread worker([&work] {
        for (void* message; (message = work.pop()) != nullptr;) {
            static_cast<Job*>(message)->run();
        }
    });
    auto samples = sampleRoundTrips([&work, &replies, &job] {
        work.push(&job);
        replies.pop();
    });
    work.push(nullptr);
    worker.join();
    return latencies(std::move(samples), Metric::DispatchMedian, Metric::DispatchP99);
}

// TIMER_SAMPLES one-shot expiries of TIMER_DELAY, one at a time. `arm`
// arms one timer for TIMER_DELAY that calls its argument when it fires; the
// lateness is the time of that call minus the time just before arming, minus
// the delay (negative: early).
std::vector<double> sampleLateness(const std::function<void(std::function<void()>)>& arm);

}  // namespace compare

#endif  // HALVIX_BENCH_COMPARE_WORKLOADS_H
