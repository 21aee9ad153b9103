// What a snapshot costs in a large service, and how long it holds up the
// threads that need the registries meanwhile (a plain program; prints its
// own table).
//
//   observe_bench [tasks queues timers snapshots]   default 100 1000 10000 20
//
// Builds the Tasks (started, idle), the Queues and the Timers (armed, due
// after the run: 10,000 timer threads firing would measure the scheduler of
// a small machine, not the snapshot), then takes snapshots back to back. Three probe
// threads meanwhile look up the Task Collection, the Queue Collection and the
// timer registry in a loop (the timer registry as every timer delivery does)
// and keep the longest single look-up and the 99.9th percentile: the longest
// a Task or a timer delivery could have been held up by a snapshot. The same
// probes run for as long again without snapshots, which shows what the
// machine's own noise adds.
#include <halvix/observe/Observe.h>
#include <halvix/queue/Queue.h>
#include <halvix/task/Task.h>
#include <halvix/timer/Timer.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using halvix::queue::Queue;
using halvix::task::Task;

class IdleTimer : public halvix::timer::Timer
{
public:
    explicit IdleTimer(Queue* queue) : Timer(queue, nullptr) {}
    ~IdleTimer() override { cleanUp(); }
    void handleTimeout() override {}
};

double microsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

struct Held
{
    double longestUs;
    double p999Us;
    long overOneMs;
};

// Runs `lookUp` in a loop until stopped; keeps the time of every call.
class Probe
{
public:
    template <typename LookUp>
    explicit Probe(LookUp lookUp)
        : thread([this, lookUp] {
              while (!stop.load(std::memory_order_relaxed)) {
                  const auto start = Clock::now();
                  lookUp();
                  took.push_back(microsSince(start));
              }
          })
    {
    }
    // The longest call and the 99.9th percentile, in microseconds, and the
    // calls over 1 ms.
    Held finish()
    {
        stop = true;
        thread.join();
        std::sort(took.begin(), took.end());
        if (took.empty()) {
            return Held{0, 0, 0};
        }
        const auto over = took.end() - std::upper_bound(took.begin(), took.end(), 1000.0);
        return Held{took.back(), took[took.size() * 999 / 1000], static_cast<long>(over)};
    }

private:
    std::atomic<bool> stop{false};
    std::vector<double> took;  // the probe thread's until finish() joined it
    std::thread thread;
};

struct HoldUps
{
    Held tasks;
    Held queues;
    Held timers;
};

template <typename Work>
HoldUps probed(Work work)
{
    Probe tasks([] { Task::getTaskPtr("observe-bench-0"); });
    Probe queues([] { Queue::getQueuePtr("observe-bench-q0"); });
    Probe timers([] { halvix::timer::Timer::getNextId(); });
    work();
    return HoldUps{tasks.finish(), queues.finish(), timers.finish()};
}

}  // namespace

int main(int argc, char** argv)
{
    const int taskCount = argc > 1 ? std::atoi(argv[1]) : 100;
    const int queueCount = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int timerCount = argc > 3 ? std::atoi(argv[3]) : 10000;
    const int snapshots = argc > 4 ? std::atoi(argv[4]) : 20;

    std::vector<std::unique_ptr<Task>> tasks;
    for (int i = 0; i < taskCount; ++i) {
        tasks.push_back(std::make_unique<Task>("observe-bench-" + std::to_string(i), nullptr, 256));
        tasks.back()->start(nullptr, nullptr, false);
    }
    std::vector<std::unique_ptr<Queue>> queues;
    for (int i = 0; i < queueCount; ++i) {
        queues.push_back(std::make_unique<Queue>("observe-bench-q" + std::to_string(i), 16));
    }
    std::vector<std::unique_ptr<IdleTimer>> timers;
    for (int i = 0; i < timerCount; ++i) {
        timers.push_back(std::make_unique<IdleTimer>(tasks[i % taskCount]->getEventQueuePtr()));
        timers.back()->startRelative(600000, 600000, nullptr);
    }
    halvix::observe::startCounting();

    std::vector<double> took;
    std::size_t bytes = 0;
    const auto start = Clock::now();
    const HoldUps during = probed([&] {
        for (int i = 0; i < snapshots; ++i) {
            const auto one = Clock::now();
            bytes = halvix::observe::snapshotJson().size();
            took.push_back(microsSince(one) / 1000.0);
        }
    });
    const double spentMs = microsSince(start) / 1000.0;
    const HoldUps quiet = probed(
        [spentMs] { std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(spentMs)); });

    std::sort(took.begin(), took.end());
    std::printf("snapshot of %d Tasks, %d Queues, %d Timers (%zu bytes of JSON), %d snapshots\n", taskCount,
                queueCount, timerCount, bytes, snapshots);
    std::printf("  time per snapshot: median %.2f ms, min %.2f ms, max %.2f ms\n", took[took.size() / 2],
                took.front(), took.back());
    std::printf("| single look-up: longest us / 99.9th percentile us / calls over 1 ms | Task Collection | "
                "Queue Collection | timer registry |\n");
    std::printf("| --- | ---: | ---: | ---: |\n");
    const auto row = [](const char* label, const HoldUps& h) {
        std::printf("| %s | %.0f / %.1f / %ld | %.0f / %.1f / %ld | %.0f / %.1f / %ld |\n", label,
                    h.tasks.longestUs, h.tasks.p999Us, h.tasks.overOneMs, h.queues.longestUs, h.queues.p999Us,
                    h.queues.overOneMs, h.timers.longestUs, h.timers.p999Us, h.timers.overOneMs);
    };
    row("while snapshots run", during);
    row("as long, no snapshot", quiet);

    timers.clear();
    for (auto& task : tasks) {
        task->terminate(true);
    }
    return 0;
}
