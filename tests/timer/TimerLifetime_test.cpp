// Timers at the edges of their deliveries: handlers that run other timers'
// deliveries inline or stop each other's timers, queues that forward to
// several consumers, and an expiry that arrives after its start was
// replaced.
#include <halvix/timer/Timer.h>

#include "TimerTestSupport.h"
#include "common/ErrorRecorder.h"

#include <halvix/queue/Queue.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace {

using namespace halvix::test;
using halvix::command::Macro;
using halvix::queue::Queue;
using halvix::timer::Timer;

TEST(TimerLifetime, StopReturnsAfterAHandlerRanAnotherTimersDeliveryInline)
{
    Queue inner("inner", 4);
    CountingTimer nested(&inner);
    Consumer consumer("inline-consumer");
    // The outer handler executes the nested timer's delivery on its own thread.
    CountingTimer outer(consumer.queue(), [&inner] {
        Macro* delivery = nullptr;
        if (inner.read(delivery, 1000)) {
            delivery->execute();
        }
    });
    ASSERT_TRUE(nested.startRelative(0, 0, nullptr));
    ASSERT_TRUE(eventually([&inner] { return inner.size() == 1; }));
    ASSERT_TRUE(outer.startRelative(0, 0, nullptr));
    ASSERT_TRUE(outer.waitForTimeouts(1));
    ASSERT_TRUE(nested.waitForTimeouts(1));
    auto stopped = std::async(std::launch::async, [&outer, &nested] {
        outer.stop();
        nested.stop();
    });
    EXPECT_TRUE(readyWithinBound(stopped));
}

TEST(TimerLifetime, TwoHandlersOnTwoThreadsStoppingEachOthersTimersDoNotWaitForEachOther)
{
    Consumer left("left"), right("right");
    std::promise<void> leftIn, rightIn;
    auto leftInFuture = leftIn.get_future().share();
    auto rightInFuture = rightIn.get_future().share();
    std::unique_ptr<CountingTimer> a, b;
    std::atomic<int> stopsDone{0};
    auto handler = [&stopsDone](std::promise<void>& mine, std::shared_future<void> other,
                                std::unique_ptr<CountingTimer>& otherTimer) {
        return [&stopsDone, &mine, other, &otherTimer] {
            mine.set_value();
            other.wait_for(kBound);  // both handlers run now
            otherTimer->stop();      // must not wait for the other handler
            stopsDone.fetch_add(1);
        };
    };
    a = std::make_unique<CountingTimer>(left.queue(), handler(leftIn, rightInFuture, b));
    b = std::make_unique<CountingTimer>(right.queue(), handler(rightIn, leftInFuture, a));
    ASSERT_TRUE(a->startRelative(0, 0, nullptr));
    ASSERT_TRUE(b->startRelative(0, 0, nullptr));
    EXPECT_TRUE(eventually([&stopsDone] { return stopsDone.load() == 2; }));
    // Stopped from a controlling thread, destruction waits as usual.
    a.reset();
    b.reset();
}

// Counts handleTimeout calls that overlap another call of the same timer;
// `inside` is deliberately plain, so ThreadSanitizer reports any overlap too.
struct OverlapProbe
{
    void operator()()
    {
        if (active.fetch_add(1) != 0) {
            overlaps.fetch_add(1);
        }
        ++inside;
        std::this_thread::sleep_for(milliseconds(2));
        --inside;
        active.fetch_sub(1);
    }
    std::atomic<int> active{0};
    std::atomic<int> overlaps{0};
    int inside = 0;
};

TEST(TimerLifetime, ATimerBehindAQueueForwardingToSeveralConsumersNeverDeliversTwiceAtOnce)
{
    ErrorRecorder errors;
    Queue pool("timer-pool", 8);
    std::vector<std::unique_ptr<halvix::task::Task>> workers;
    for (int i = 0; i < 3; ++i) {
        workers.push_back(
            std::make_unique<halvix::task::Task>("timer-worker-" + std::to_string(i), &pool, 8));
        ASSERT_TRUE(workers.back()->start(nullptr, nullptr, false));
    }
    OverlapProbe probe;
    {
        CountingTimer timer(&pool, [&probe] { probe(); });
        ASSERT_TRUE(timer.startRelative(0, 1, nullptr));  // expiries come faster than deliveries end
        ASSERT_TRUE(timer.waitForTimeouts(30));
        timer.stop();
        const int afterStop = timer.timeouts.load();
        std::this_thread::sleep_for(milliseconds(20));
        EXPECT_EQ(timer.timeouts.load(), afterStop);  // nothing after stop() returned
    }
    EXPECT_EQ(probe.overlaps.load(), 0);
    // The workers still run and so delete the timer's macro.
    for (auto& worker : workers) {
        EXPECT_TRUE(worker->terminate(true));
    }
}

// Holds its first expiry on the timer thread until the test lets it go, so
// that a stop and a new start slip in between the OS expiry and the Timer's
// handling of it.
class HeldTimer : public CountingTimer
{
public:
    using CountingTimer::CountingTimer;
    ~HeldTimer() override { cleanUp(); }
    void processTimeout() override
    {
        if (!heldOnce.exchange(true)) {
            reached.set_value();
            release.get_future().wait_for(kBound);
        }
        Timer::processTimeout();
    }
    std::atomic<bool> heldOnce{false};
    std::promise<void> reached, release;
};

TEST(TimerLifetime, AnExpiryOfAStoppedStartNeverCountsForTheNextStart)
{
    Consumer consumer("held-consumer");
    HeldTimer timer(consumer.queue());
    ASSERT_TRUE(timer.startRelative(0, 0, nullptr));
    ASSERT_TRUE(readyWithinBound(timer.reached.get_future()));
    timer.stop();
    const auto restarted = Clock::now();
    ASSERT_TRUE(timer.startRelative(150, 0, nullptr));
    timer.release.set_value();  // the old expiry arrives now
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(timer.getState(), Timer::RUNNING);
    EXPECT_EQ(timer.timeouts.load(), 0);
    ASSERT_TRUE(timer.waitForTimeouts(1));
    EXPECT_GE(Clock::now() - restarted, milliseconds(150));  // the new delay was kept
    EXPECT_EQ(timer.getState(), Timer::EXPIRED);
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(timer.timeouts.load(), 1);  // one expiry for one one-shot start
}

}  // namespace
