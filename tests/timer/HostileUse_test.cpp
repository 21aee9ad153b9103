// Timers whose queue write throws: a selection function or an error strategy
// that throws reaches the timer thread, and the consumer's delivery as it
// re-posts an overrun, where nothing may escape.
#include <halvix/timer/Timer.h>

#include "TimerTestSupport.h"
#include "common/ErrorRecorder.h"

#include <halvix/error/Error.h>
#include <halvix/queue/Queue.h>
#include <halvix/strategy/Strategy.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace halvix::test;
using halvix::command::Macro;
using halvix::error::Error;
using halvix::queue::Queue;

std::atomic<bool> selectionThrows{false};

Queue* throwingSelection(const Macro*, std::vector<Queue*> queues)
{
    if (selectionThrows.load()) {
        throw std::runtime_error("no target today");
    }
    return queues.front();
}

// Throws instead of reporting every error (warnings pass).
class ThrowingStrategy : public halvix::strategy::StrategyT<Error>
{
public:
    ThrowingStrategy() : StrategyT<Error>(Error::STRATEGY_TYPE, "ThrowingStrategy", false) {}
    bool isInterested(const Error&) const override { return true; }
    void processClientObject(Error& error) override
    {
        if (error.getSeverity() != Error::WARNING) {
            throw std::runtime_error("refused: " + error.getName());
        }
    }
};

TEST(TimerHostileUse, ASelectionThatThrowsLosesExpiriesButNeitherTheTimerThreadNorTheConsumer)
{
    ErrorRecorder errors;
    Queue pool("throwing-pool", 8);
    Consumer consumer("throwing-pool-consumer");
    pool.startForwardingTo(consumer.queue());
    pool.setQueueSelectionAlgorithm(throwingSelection);
    selectionThrows = false;
    std::atomic<bool> first{true};
    // The first delivery makes the selection throw and lasts: the expiries
    // meanwhile are handed over to it, and its re-post of them throws on the
    // consumer's thread; later expiries throw on the timer thread.
    CountingTimer timer(&pool, [&first] {
        if (first.exchange(false)) {
            selectionThrows = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    ASSERT_TRUE(timer.startRelative(1, 1, nullptr));
    ASSERT_TRUE(eventually([&errors] { return errors.entries().size() >= 3; }));
    EXPECT_EQ(errors.entries().back().name, "TimerError");
    // Nothing stayed posted: once a target is selected, deliveries come again.
    selectionThrows = false;
    const int before = timer.timeouts.load();
    EXPECT_TRUE(timer.waitForTimeouts(before + 3));
    timer.stop();
}

TEST(TimerHostileUse, AStrategyThatThrowsOnTheReportOfALostExpiryLeavesTheTimerThreadAlive)
{
    ThrowingStrategy strategy;  // outlives the timer, whose thread reports
    Consumer consumer("throwing-strategy-consumer", 1);
    Gate gate;
    ASSERT_TRUE(consumer.queue()->write(gate.macro(), -1));
    ASSERT_TRUE(gate.reached());
    ASSERT_TRUE(consumer.queue()->write(new Macro("filler", false, true), 0));
    CountingTimer timer(consumer.queue());
    // Every expiry finds the queue full, and the report of each throws.
    ASSERT_TRUE(timer.startRelative(1, 1, nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    timer.stop();
    gate.open();
    ASSERT_TRUE(eventually([&consumer] { return consumer.queue()->size() == 0; }));
    ASSERT_TRUE(timer.startRelative(1, 0, nullptr));
    EXPECT_TRUE(timer.waitForTimeouts(1));
    // The timer's deletion goes through the one slot before the Task's
    // termination request does, which must not find it full either.
    timer.cleanUp();
    EXPECT_TRUE(eventually([&consumer] { return consumer.queue()->size() == 0; }));
}

}  // namespace
