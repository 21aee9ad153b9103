// Timer lateness and the cost of a live timer.
//
//   lateness: 10 ms one-shot timers delivered through a Task (actual minus
//   requested, at the consumer), beside a thread sleeping in
//   std::condition_variable::wait_until, in the same run;
//   cost: resident memory, address space and threads for 1,000 and 10,000
//   idle timers.
//
// Run: halvix_bench_timer [samples]   (default 200 samples per lateness series)
#include "common/FiringTimer.h"
#include "common/ProcStatus.h"

#include <halvix/queue/Queue.h>
#include <halvix/task/Task.h>
#include <halvix/timer/Timer.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using bench::statusField;
using Clock = std::chrono::steady_clock;
using Micros = std::chrono::duration<double, std::micro>;
constexpr auto REQUESTED = std::chrono::milliseconds(10);

struct Summary
{
    double median, p99, min;
};

Summary summarise(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100], samples.front()};
}

std::vector<double> halvixLateness(int samples)
{
    halvix::task::Task consumer("lateness-consumer", nullptr, 16);
    consumer.start(nullptr, nullptr, false);
    std::vector<double> lateness;
    {
        bench::FiringTimer timer(consumer.getEventQueuePtr());
        for (int i = 0; i < samples; ++i) {
            std::promise<Clock::time_point> fired;
            timer.fire = [&fired] { fired.set_value(Clock::now()); };
            const auto start = Clock::now();
            timer.startRelative(static_cast<unsigned>(REQUESTED.count()), 0, nullptr);
            const auto at = fired.get_future().get();
            lateness.push_back(Micros(at - start - REQUESTED).count());
        }
    }
    consumer.terminate(true);
    return lateness;
}

std::vector<double> waitUntilLateness(int samples)
{
    std::mutex mutex;
    std::condition_variable condition;
    std::vector<double> lateness;
    for (int i = 0; i < samples; ++i) {
        const auto start = Clock::now();
        std::promise<Clock::time_point> fired;
        std::thread sleeper([&] {
            std::unique_lock<std::mutex> lock(mutex);
            condition.wait_until(lock, start + REQUESTED, [] { return false; });
            fired.set_value(Clock::now());
        });
        const auto at = fired.get_future().get();
        sleeper.join();
        lateness.push_back(Micros(at - start - REQUESTED).count());
    }
    return lateness;
}

// Not a FiringTimer: an idle timer needs no function, and its size is part of
// what is measured.
class IdleTimer : public halvix::timer::Timer
{
public:
    explicit IdleTimer(halvix::queue::Queue* queue) : Timer(queue, nullptr) {}
    ~IdleTimer() override { cleanUp(); }
    void handleTimeout() override {}
};

void idleCost(int count)
{
    halvix::queue::Queue queue("idle-" + std::to_string(count), 4);
    const long rssBefore = statusField("VmRSS"), vmBefore = statusField("VmSize");
    const long threadsBefore = statusField("Threads");
    std::vector<std::unique_ptr<IdleTimer>> timers;
    timers.reserve(count);
    for (int i = 0; i < count; ++i) {
        timers.push_back(std::make_unique<IdleTimer>(&queue));
    }
    const long rss = statusField("VmRSS") - rssBefore, vm = statusField("VmSize") - vmBefore;
    const long threads = statusField("Threads") - threadsBefore;
    std::printf("| %6d idle timers | %8.1f KiB | %8.1f KiB | %6ld |\n", count, double(rss) / count,
                double(vm) / count, threads);
}

}  // namespace

int main(int argc, char** argv)
{
    const int samples = argc > 1 ? std::atoi(argv[1]) : 200;
    // Interleave the two series so both see the same machine load.
    std::vector<double> halvix, waitUntil;
    for (int round = 0; round < 4; ++round) {
        auto h = halvixLateness(samples / 4), w = waitUntilLateness(samples / 4);
        halvix.insert(halvix.end(), h.begin(), h.end());
        waitUntil.insert(waitUntil.end(), w.begin(), w.end());
    }
    const Summary hs = summarise(halvix), ws = summarise(waitUntil);
    std::printf("10 ms one-shot lateness, %d samples each (us)\n", samples);
    std::printf("| series                         | median |    p99 |    min |\n");
    std::printf("| halvix Timer via Task          | %6.0f | %6.0f | %6.0f |\n", hs.median, hs.p99, hs.min);
    std::printf("| condition_variable::wait_until | %6.0f | %6.0f | %6.0f |\n", ws.median, ws.p99, ws.min);
    std::printf("\nCost of a live timer\n| timers             | RSS/timer  | VM/timer   | threads |\n");
    idleCost(1000);
    idleCost(10000);
    return 0;
}
