// The OS layer's message queue against a hand-written bounded ring on
// std::mutex and std::condition_variable: SPSC throughput through 1024 slots,
// and the round trip of a message bounced between two threads.
#include "halvix/os/osQueue.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int SLOTS = 1024;

class HalvixQueue
{
public:
    explicit HalvixQueue(int slots) : m_queue(halvix::os::osQueueCreate(slots)) {}
    ~HalvixQueue() { halvix::os::osQueueDestroy(m_queue); }
    HalvixQueue(const HalvixQueue&) = delete;
    HalvixQueue& operator=(const HalvixQueue&) = delete;

    void push(void* message) { halvix::os::osQueueWrite(m_queue, message, -1); }
    void* pop()
    {
        void* message = nullptr;
        halvix::os::osQueueRead(m_queue, &message, -1);
        return message;
    }

private:
    void* m_queue;
};

// The baseline: what one would write by hand with the standard library.
class StdRing
{
public:
    explicit StdRing(int slots) : m_slots(static_cast<size_t>(slots)) {}

    void push(void* message)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_notFull.wait(lock, [this] { return m_count < m_slots.size(); });
        m_slots[(m_head + m_count) % m_slots.size()] = message;
        ++m_count;
        lock.unlock();
        m_notEmpty.notify_one();
    }

    void* pop()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_notEmpty.wait(lock, [this] { return m_count > 0; });
        void* message = m_slots[m_head];
        m_head = (m_head + 1) % m_slots.size();
        --m_count;
        lock.unlock();
        m_notFull.notify_one();
        return message;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_notFull;
    std::condition_variable m_notEmpty;
    std::vector<void*> m_slots;  // guarded by m_mutex
    size_t m_head = 0;           // guarded by m_mutex
    size_t m_count = 0;          // guarded by m_mutex
};

void* messageOf(uintptr_t value)
{
    return reinterpret_cast<void*>(value);
}

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
            sum += reinterpret_cast<uintptr_t>(queue.pop());
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
    spscThroughput<HalvixQueue>(state);
}
void BM_PingPong_StdRing(benchmark::State& state)
{
    pingPongRoundTrip<StdRing>(state);
}
void BM_PingPong_Halvix(benchmark::State& state)
{
    pingPongRoundTrip<HalvixQueue>(state);
}

BENCHMARK(BM_SpscThroughput_StdRing)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpscThroughput_Halvix)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PingPong_StdRing)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PingPong_Halvix)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
