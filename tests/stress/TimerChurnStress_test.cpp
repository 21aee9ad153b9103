// Several threads start, stop, restart and destroy their own timers, one-shot
// and repeating mixed, while a pool of Tasks consumes the deliveries.
// handleTimeout must never run for a timer that was stopped and not
// restarted, nor for a destroyed one; after the churn every timer still
// delivers. Not checked: that a one-shot start gives one timeout (a delivery
// still queued from before a stop counts once the timer is started again).
#include <halvix/timer/Timer.h>

#include "StressSupport.h"
#include "common/ErrorRecorder.h"

#include <halvix/os/osTask.h>
#include <halvix/task/Task.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using halvix::queue::Queue;
using halvix::task::Task;
using halvix::timer::Timer;
using namespace halvix::test;

struct Faults
{
    std::atomic<long> whileDisarmed{0};  // a delivery after stop() returned
    std::atomic<long> toDestroyed{0};    // a delivery to a timer being or been destroyed
    std::atomic<long> timeouts{0};
};

// `armed` is raised before each start and lowered once stop() has returned:
// a delivery while it is low should have been dropped as stale.
class WatchedTimer : public Timer
{
public:
    static constexpr uint32_t kAlive = 0xA11FE;

    WatchedTimer(Queue* queue, Faults& tally) : Timer(queue, nullptr), faults(tally) {}
    ~WatchedTimer() override
    {
        cleanUp();
        alive.store(0);
    }

    void handleTimeout() override
    {
        if (alive.load() != kAlive) {
            faults.toDestroyed.fetch_add(1);
        }
        if (!armed.load()) {
            faults.whileDisarmed.fetch_add(1);
        }
        deliveries.fetch_add(1);
        faults.timeouts.fetch_add(1);
    }

    std::atomic<uint32_t> alive{kAlive};
    std::atomic<bool> armed{false};
    std::atomic<int> deliveries{0};  // reset by the controller only while no delivery can run

private:
    Faults& faults;
};

// One controlling thread's timers and its random operations on them.
class Controller
{
public:
    Controller(int seed, int count, std::vector<Queue*> consumers, Faults& tally)
        : random(seed), queues(std::move(consumers)), faults(tally), timers(count)
    {
        for (int i = 0; i < count; ++i) {
            replace(i);
        }
    }

    void churn(Clock::time_point end)
    {
        for (; Clock::now() < end; ++operations) {
            const int i = static_cast<int>(random() % timers.size());
            const unsigned int operation = random() % 8;
            if (operation < 3) {
                start(*timers[i]);
            } else if (operation < 6) {
                stop(*timers[i]);
            } else if (operation == 6) {
                replace(i);
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
            }
        }
    }

    void stopAll()
    {
        for (auto& timer : timers) {
            stop(*timer);
        }
    }
    // One one-shot start each, on stopped timers.
    void armOnce()
    {
        for (auto& timer : timers) {
            timer->deliveries.store(0);
            timer->armed.store(true);
            timer->startRelative(1, 0, nullptr);
        }
    }
    bool allDelivered() const
    {
        return std::all_of(timers.begin(), timers.end(),
                           [](const auto& timer) { return timer->deliveries > 0; });
    }

    long operations = 0;
    long refusedStarts = 0;

private:
    void start(WatchedTimer& timer)
    {
        if (timer.getState() == Timer::RUNNING) {
            return;
        }
        // Half one-shot (an expired one is restarted without a stop), half repeating every 1 to 3 ms.
        const unsigned int repeat = static_cast<unsigned int>(random() % 2 == 0 ? 0 : 1 + random() % 3);
        timer.armed.store(true);
        refusedStarts += !timer.startRelative(static_cast<unsigned int>(random() % 4), repeat, nullptr);
    }

    void stop(WatchedTimer& timer)
    {
        if (timer.getState() == Timer::STOPPED) {
            return;
        }
        timer.stop();
        timer.armed.store(false);
    }

    void replace(int i)
    {
        timers[i].reset();
        timers[i] = std::make_unique<WatchedTimer>(queues[random() % queues.size()], faults);
    }

    std::mt19937 random;
    std::vector<Queue*> queues;
    Faults& faults;
    std::vector<std::unique_ptr<WatchedTimer>> timers;
};

TEST(TimerChurnStress, ControllersOnSeveralThreadsNeverGetStaleOrOrphanedTimeouts)
{
    const auto duration = std::chrono::milliseconds(scaled(8000, 4000, 3000));
    const int controllerCount = 3;
    const int timersPerController = scaled(50, 30, 24);
    halvix::test::ErrorRecorder errors;  // a full event queue loses an expiry, with a report
    Volume volume("timer churn, 3 controlling threads");

    std::vector<std::unique_ptr<Task>> pool;
    std::vector<Queue*> queues;
    for (int i = 0; i < 4; ++i) {
        pool.push_back(std::make_unique<Task>("stress-timer-pool-" + std::to_string(i), nullptr, 512));
        ASSERT_TRUE(pool.back()->start(nullptr, nullptr, false));
        queues.push_back(pool.back()->getEventQueuePtr());
    }
    Faults faults;
    std::vector<std::unique_ptr<Controller>> controllers;
    for (int c = 0; c < controllerCount; ++c) {
        controllers.push_back(std::make_unique<Controller>(100 + c, timersPerController, queues, faults));
    }

    const auto end = Clock::now() + duration;
    std::vector<std::thread> threads;
    for (auto& controller : controllers) {
        threads.emplace_back([&controller, end] {
            controller->churn(end);
            // Timers made and destroyed here gave this thread an OS task
            // record (the library did not create the thread): release it.
            halvix::os::osTaskDetach();
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const long churnTimeouts = faults.timeouts.load();

    // Stop everything, let the pool run what is queued (a Task runs all that
    // precedes its termination request), then one one-shot start per timer: each must arrive.
    for (auto& controller : controllers) {
        controller->stopAll();
    }
    for (auto& task : pool) {
        EXPECT_TRUE(task->terminate(true));
        EXPECT_TRUE(task->start(nullptr, nullptr, false));
    }
    for (auto& controller : controllers) {
        controller->armOnce();
    }
    for (auto& controller : controllers) {
        EXPECT_TRUE(eventually([&] { return controller->allDelivered(); })) << "a timer no longer delivers";
    }
    long operations = 0;
    long refusedStarts = 0;
    for (auto& controller : controllers) {
        operations += controller->operations;
        refusedStarts += controller->refusedStarts;
    }
    controllers.clear();  // destroys the timers before their Tasks stop
    for (auto& task : pool) {
        EXPECT_TRUE(task->terminate(true));
    }
    volume.report(operations, "operations");
    std::printf("[ stress   ] timer churn: %d timers, %ld timeouts handled\n",
                controllerCount * timersPerController, churnTimeouts);

    EXPECT_EQ(faults.whileDisarmed.load(), 0);
    EXPECT_EQ(faults.toDestroyed.load(), 0);
    EXPECT_EQ(refusedStarts, 0);
    EXPECT_GT(churnTimeouts, 0);
}

}  // namespace
