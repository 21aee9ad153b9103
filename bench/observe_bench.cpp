// What a snapshot costs in a large service, and how long it holds up the
// threads that need the registries meanwhile (a plain program; prints its
// own table).
//
//   observe_bench [tasks queues timers snapshots]   default 100 1000 10000 20
//
// Builds the Tasks (started, idle), the Queues and the Timers (repeating
// every second, spread over it, into the Tasks' event queues, so deliveries
// look the timer registry up all the time), then takes snapshots back to
// back. Three probe
// threads meanwhile look up the Task Collection, the Queue Collection and the
// timer registry in a loop and keep the longest single look-up: the longest
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

// Runs `lookUp` in a loop until stopped; keeps the longest call.
class Probe
{
public:
    template <typename LookUp>
    explicit Probe(LookUp lookUp)
        : thread([this, lookUp] {
              while (!stop.load(std::memory_order_relaxed)) {
                  const auto start = Clock::now();
                  lookUp();
                  const double took = microsSince(start);
                  if (took > longestUs.load(std::memory_order_relaxed)) {
                      longestUs.store(took, std::memory_order_relaxed);
                  }
              }
          })
    {
    }
    double finish()
    {
        stop = true;
        thread.join();
        return longestUs.load();
    }

private:
    std::atomic<bool> stop{false};
    std::atomic<double> longestUs{0};
    std::thread thread;
};

struct HoldUps
{
    double tasks;
    double queues;
    double timers;
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
        tasks.push_back(std::make_unique<Task>("observe-bench-" + std::to_string(i), nullptr, 64));
        tasks.back()->start(nullptr, nullptr, false);
    }
    std::vector<std::unique_ptr<Queue>> queues;
    for (int i = 0; i < queueCount; ++i) {
        queues.push_back(std::make_unique<Queue>("observe-bench-q" + std::to_string(i), 16));
    }
    std::vector<std::unique_ptr<IdleTimer>> timers;
    for (int i = 0; i < timerCount; ++i) {
        timers.push_back(std::make_unique<IdleTimer>(tasks[i % taskCount]->getEventQueuePtr()));
        timers.back()->startRelative(static_cast<unsigned int>(1 + i % 1000), 1000, nullptr);
    }
    halvix::observe::startCounting();
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // deliveries under way

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
    std::printf("| longest single look-up (us) | Task Collection | Queue Collection | timer registry |\n");
    std::printf("| --- | ---: | ---: | ---: |\n");
    std::printf("| while snapshots run | %.0f | %.0f | %.0f |\n", during.tasks, during.queues, during.timers);
    std::printf("| as long, no snapshot | %.0f | %.0f | %.0f |\n", quiet.tasks, quiet.queues, quiet.timers);

    timers.clear();
    for (auto& task : tasks) {
        task->terminate(true);
    }
    return 0;
}
