// A timer for tests: counts its timeouts, remembers the thread of the last
// one, and may run a function in handleTimeout.
#ifndef HALVIX_TESTS_TIMER_TIMERTESTSUPPORT_H
#define HALVIX_TESTS_TIMER_TIMERTESTSUPPORT_H

#include <halvix/timer/Timer.h>

#include "task/TaskTestSupport.h"

#include <atomic>
#include <functional>
#include <thread>

namespace halvix::test {

class CountingTimer : public timer::Timer
{
public:
    explicit CountingTimer(
        queue::Queue* queue, std::function<void()> handler = [] {})
        : Timer(queue, nullptr), onTimeout(std::move(handler))
    {
    }
    ~CountingTimer() override { cleanUp(); }

    void handleTimeout() override
    {
        lastThread = std::this_thread::get_id();
        timeouts.fetch_add(1);
        onTimeout();
    }

    // Waits (bounded) until at least n timeouts were handled.
    bool waitForTimeouts(int n) const
    {
        return eventually([this, n] { return timeouts.load() >= n; });
    }

    // Lets a test move the id sequence.
    static unsigned int& lastId() { return m_lastId; }

    std::atomic<int> timeouts{0};
    std::atomic<std::thread::id> lastThread{};

private:
    std::function<void()> onTimeout;
};

}  // namespace halvix::test

#endif  // HALVIX_TESTS_TIMER_TIMERTESTSUPPORT_H
