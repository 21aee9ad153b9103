// The OS layer's message queue against a hand-written bounded ring on
// std::mutex and std::condition_variable: SPSC throughput through 1024 slots,
// and the round trip of a message bounced between two threads.
#include "common/Message.h"
#include "common/OsQueue.h"
#include "common/StdRing.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using bench::messageOf;
using bench::OsQueue;
using bench::StdRing;  // the baseline: what one would write by hand
using bench::valueOf;

constexpr int SLOTS = 1024;

// One iteration moves ITEMS messages from a producer thread to the benchmark
// thread.
template <typename Queue>
void spscThroughput(benchmark::State& state)
{
    constexpr uintptr_t ITEMS = 1 << 18;
    Queue queue(SLOTS);
    uintptr_t sum = 0;
    for (auto _ : state) {
        std::thread producer([&queue] {
            for (uintptr_t i = 1; i <= ITEMS; ++i) {
                queue.push(messageOf(i));
            }
        });
        for (uintptr_t i = 1; i <= ITEMS; ++i) {
            sum += valueOf(queue.pop());
        }
        producer.join();
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * ITEMS);
}

// One iteration is one round trip: the benchmark thread writes to `ping`, an
// echo thread reads it and writes it back to `pong`. Reports the median and
// the 90th percentile of the round trips as counters (microseconds).
template <typename Queue>
void pingPongRoundTrip(benchmark::State& state)
{
    Queue ping(SLOTS);
    Queue pong(SLOTS);
    std::thread echo([&ping, &pong] {
        for (;;) {
            void* message = ping.pop();
            pong.push(message);
            if (message == nullptr) {
                return;
            }
        }
    });
    std::vector<double> roundTrips;
    roundTrips.reserve(1 << 22);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        ping.push(messageOf(1));
        benchmark::DoNotOptimize(pong.pop());
        const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
        if (roundTrips.size() < roundTrips.capacity()) {
            roundTrips.push_back(took.count());
        }
    }
    ping.push(nullptr);
    pong.pop();
    echo.join();
    if (!roundTrips.empty()) {
        auto at = [&roundTrips](double fraction) {
            auto nth = roundTrips.begin() + static_cast<std::ptrdiff_t>(fraction * (roundTrips.size() - 1));
            std::nth_element(roundTrips.begin(), nth, roundTrips.end());
            return *nth;
        };
        state.counters["median_us"] = at(0.5);
        state.counters["p90_us"] = at(0.9);
    }
}

void BM_SpscThroughput_StdRing(benchmark::State& state)
{
    spscThroughput<StdRing>(state);
}
void BM_SpscThroughput_Halvix(benchmark::State& state)
{
    spscThroughput<OsQueue>(state);
}
void BM_PingPong_StdRing(benchmark::State& state)
{
    pingPongRoundTrip<StdRing>(state);
}
void BM_PingPong_Halvix(benchmark::State& state)
{
    pingPongRoundTrip<OsQueue>(state);
}

BENCHMARK(BM_SpscThroughput_StdRing)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpscThroughput_Halvix)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PingPong_StdRing)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PingPong_Halvix)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
