#include <halvix/timer/Timer.h>

#include "TimerTestSupport.h"
#include "common/ErrorRecorder.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using halvix::timer::Timer;
using Clock = std::chrono::steady_clock;

// A timer that knows whether a timeout may arrive: `armed` is set before each
// start and cleared once stop() has returned. A timeout while it is clear is
// a delivery that should have been dropped.
class WatchedTimer : public halvix::test::CountingTimer
{
public:
    explicit WatchedTimer(halvix::queue::Queue* queue)
        : CountingTimer(queue, [this] { wrongTimeouts.fetch_add(armed.load() ? 0 : 1); })
    {
    }
    ~WatchedTimer() override { cleanUp(); }  // before `armed` goes
    std::atomic<bool> armed{false};
    static std::atomic<int> wrongTimeouts;
};

std::atomic<int> WatchedTimer::wrongTimeouts{0};

TEST(TimerChurn, StoppedAndDestroyedTimersNeverReachHandleTimeout)
{
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    constexpr auto duration = std::chrono::milliseconds(1500);
    constexpr int timerCount = 100;
#else
    constexpr auto duration = std::chrono::milliseconds(2000);
    constexpr int timerCount = 200;
#endif
    halvix::test::ErrorRecorder errors;  // full queues report lost expiries; expected under churn
    std::vector<std::unique_ptr<halvix::test::Consumer>> pool;  // outlive the timers
    for (int i = 0; i < 4; ++i) {
        pool.push_back(std::make_unique<halvix::test::Consumer>("churn-" + std::to_string(i), 256));
    }
    std::mt19937 random(12345);
    std::vector<std::unique_ptr<WatchedTimer>> timers(timerCount);
    auto make = [&](int i) { timers[i] = std::make_unique<WatchedTimer>(pool[i % pool.size()]->queue()); };
    for (int i = 0; i < timerCount; ++i) {
        make(i);
    }
    int totalTimeouts = 0;
    const auto end = Clock::now() + duration;
    while (Clock::now() < end) {
        const int i = static_cast<int>(random() % timerCount);
        WatchedTimer& timer = *timers[i];
        switch (random() % 4) {
        case 0:  // start (one-shot or repeating), or restart an expired one
            if (timer.getState() != Timer::RUNNING) {
                timer.armed.store(true);
                timer.startRelative(static_cast<unsigned>(random() % 3),
                                    static_cast<unsigned>(random() % 2 * 2), nullptr);
            }
            break;
        case 1:
        case 2:  // stop
            if (timer.getState() != Timer::STOPPED) {
                timer.stop();
                timer.armed.store(false);
            }
            break;
        case 3:  // destroy and replace
            totalTimeouts += timer.timeouts.load();
            make(i);
            break;
        }
    }
    for (auto& timer : timers) {
        totalTimeouts += timer->timeouts.load();
        timer.reset();
    }
    EXPECT_EQ(WatchedTimer::wrongTimeouts.load(), 0);
    EXPECT_GT(totalTimeouts, 0);
}

}  // namespace
