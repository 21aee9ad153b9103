// Timers for tests: count their timeouts, optionally run a function in
// handleTimeout, and record the thread and time of the last one.
#ifndef HALVIX_TESTS_TIMER_TIMERTESTSUPPORT_H
#define HALVIX_TESTS_TIMER_TIMERTESTSUPPORT_H

#include <halvix/timer/Timer.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace halvix::test {

class CountingTimer : public timer::Timer
{
public:
    using Clock = std::chrono::steady_clock;

    explicit CountingTimer(queue::Queue* queue, std::function<void()> onTimeout = {})
        : Timer(queue, nullptr), onTimeout(std::move(onTimeout))
    {
    }
    ~CountingTimer() override { cleanUp(); }

    void handleTimeout() override
    {
        lastThread = std::this_thread::get_id();
        lastTimeout = Clock::now().time_since_epoch().count();
        timeouts.fetch_add(1);
        if (onTimeout) {
            onTimeout();
        }
    }

    // Waits (bounded) until at least n timeouts were handled.
    bool waitForTimeouts(int n, std::chrono::milliseconds bound = std::chrono::seconds(10)) const
    {
        const auto deadline = Clock::now() + bound;
        while (timeouts.load() < n) {
            if (Clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    static unsigned int& lastId() { return m_lastId; }

    std::atomic<int> timeouts{0};
    std::atomic<std::thread::id> lastThread{};
    std::atomic<Clock::rep> lastTimeout{0};

private:
    std::function<void()> onTimeout;
};

}  // namespace halvix::test

#endif  // HALVIX_TESTS_TIMER_TIMERTESTSUPPORT_H
