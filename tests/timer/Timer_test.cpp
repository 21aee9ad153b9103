#include <halvix/timer/Timer.h>

#include "TimerTestSupport.h"
#include "common/ErrorRecorder.h"
#include "task/TaskTestSupport.h"

#include <halvix/queue/Queue.h>
#include <halvix/task/Task.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <future>
#include <memory>
#include <sstream>

namespace {

using halvix::error::Error;
using halvix::queue::Queue;
using halvix::task::Task;
using halvix::test::CountingTimer;
using halvix::test::ErrorRecorder;
using halvix::timer::Timer;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A started Task that consumes timer deliveries; terminated at the end.
class Consumer
{
public:
    explicit Consumer(const std::string& name) : task(name, nullptr, 64)
    {
        task.start(nullptr, nullptr, false);
    }
    ~Consumer() { task.terminate(true); }
    Queue* queue() { return task.getEventQueuePtr(); }
    Task task;
};

TEST(TimerLifecycle, OneShotFiresOnceOnTheConsumerAndMayBeStartedAgain)
{
    ErrorRecorder errors;
    Consumer consumer("consumer");
    CountingTimer timer(consumer.queue());
    EXPECT_EQ(timer.getState(), Timer::STOPPED);

    const auto started = Clock::now();
    ASSERT_TRUE(timer.startRelative(50, 0, &timer));
    EXPECT_EQ(timer.getState(), Timer::RUNNING);
    EXPECT_FALSE(timer.startRelative(10, 0, nullptr));  // refused while running
    ASSERT_TRUE(timer.waitForTimeouts(1));
    EXPECT_GE(Clock::now() - started, milliseconds(50));
    EXPECT_EQ(timer.getState(), Timer::EXPIRED);
    EXPECT_EQ(timer.getArgPtr(), &timer);
    EXPECT_NE(timer.lastThread.load(), std::this_thread::get_id());

    ASSERT_TRUE(timer.startRelative(1, 0, nullptr));  // EXPIRED restarts without stop
    ASSERT_TRUE(timer.waitForTimeouts(2));
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(timer.timeouts.load(), 2);  // one-shot: no third

    timer.stop();  // accepted on an expired timer
    EXPECT_EQ(timer.getState(), Timer::STOPPED);
    timer.stop();  // refused: already stopped

    const auto entries = errors.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "WrongTimerState");
    EXPECT_EQ(entries[0].severity, Error::ERROR);
    EXPECT_EQ(entries[0].function, "startRelative");
    EXPECT_EQ(entries[0].message,
              "Timer " + std::to_string(timer.getId()) + " can not be started - timer is already running.");
    EXPECT_EQ(entries[1].severity, Error::WARNING);
    EXPECT_EQ(entries[1].message,
              "Timer " + std::to_string(timer.getId()) + " can not be stopped - timer has not been started.");
}

TEST(TimerLifecycle, RepeatingTimerKeepsFiringUntilStopped)
{
    Consumer consumer("consumer");
    CountingTimer timer(consumer.queue());
    ASSERT_TRUE(timer.startRelative(5, 5, nullptr));
    ASSERT_TRUE(timer.waitForTimeouts(4));
    EXPECT_EQ(timer.getState(), Timer::RUNNING);
    timer.stop();
    const int afterStop = timer.timeouts.load();
    std::this_thread::sleep_for(milliseconds(40));
    EXPECT_EQ(timer.timeouts.load(), afterStop);
}

TEST(TimerStart, AbsoluteTimeInThePastFiresAtOnceAndTooFarAheadIsRefused)
{
    ErrorRecorder errors;
    Consumer consumer("consumer");
    CountingTimer timer(consumer.queue());
    ASSERT_TRUE(timer.startAbsolute(static_cast<long>(::time(nullptr)) - 100, 0, nullptr));
    ASSERT_TRUE(timer.waitForTimeouts(1, milliseconds(2000)));

    EXPECT_FALSE(timer.startAbsolute(static_cast<long>(::time(nullptr)) + 5000000, 0, nullptr));
    ASSERT_EQ(errors.entries().size(), 1u);
    EXPECT_EQ(errors.entries()[0].name, "TimerError");
    EXPECT_EQ(timer.getState(), Timer::EXPIRED);
}

TEST(TimerConstruction, TakesTheCallingTasksQueueOrThrowsOnAPlainThread)
{
    ErrorRecorder errors;
    unsigned int id = 0;
    try {
        CountingTimer orphan(nullptr);
        FAIL() << "a timer without a queue was built";
    } catch (const Error& error) {
        EXPECT_EQ(error.getName(), "TimerError");
        id = CountingTimer::lastId();
    }
    ASSERT_EQ(errors.messages().size(), 1u);
    EXPECT_EQ(errors.messages()[0],
              "No queue specified to receive process timeout macros for timer with ID = " +
                  std::to_string(id) + ".");

    Consumer consumer("owner");
    std::promise<std::string> dump;
    std::promise<void> fired;
    CountingTimer* timer = nullptr;
    auto* build = halvix::test::macroOf("build", [&] {
        // Built on the Task's thread with no queue: delivers to that Task.
        timer = new CountingTimer(nullptr, [&fired] { fired.set_value(); });
        std::ostringstream os;
        os << *timer;
        dump.set_value(os.str());
        timer->startRelative(1, 0, nullptr);
        return 0;
    });
    ASSERT_TRUE(consumer.queue()->write(build, 0));
    auto dumpFuture = dump.get_future();
    ASSERT_TRUE(halvix::test::readyWithinBound(dumpFuture));
    EXPECT_NE(dumpFuture.get().find("Queue               = 'owner-TaskEventQueue'\n"), std::string::npos);
    auto firedFuture = fired.get_future();
    EXPECT_TRUE(halvix::test::readyWithinBound(firedFuture));
    ASSERT_TRUE(consumer.queue()->write(halvix::test::macroOf("destroy",
                                                              [&timer] {
                                                                  delete timer;
                                                                  return 0;
                                                              }),
                                        0));
}

TEST(TimerIds, WrapAroundSkipsIdsInUse)
{
    Consumer consumer("consumer");
    CountingTimer::lastId() = 0xFFFFFFFEu;
    CountingTimer last(consumer.queue());
    EXPECT_EQ(last.getId(), 0xFFFFFFFFu);
    CountingTimer zero(consumer.queue());
    EXPECT_EQ(zero.getId(), 0u);  // 0 is an ordinary id after the wrap

    CountingTimer::lastId() = 0xFFFFFFFEu;  // the next two ids are taken
    CountingTimer next(consumer.queue());
    EXPECT_EQ(next.getId(), 1u);
}

TEST(TimerOutput, NineLabelledLines)
{
    Queue queue("timer-queue", 4);
    CountingTimer timer(&queue);
    std::ostringstream os;
    os << timer;
    std::ostringstream expected;
    expected << "ID                  = " << timer.getId() << "\n"
             << "Queue               = 'timer-queue'\n";
    const std::string text = os.str();
    EXPECT_EQ(text.rfind(expected.str(), 0), 0u) << text;
    EXPECT_NE(text.find("\nState?              = 0\n"), std::string::npos);
    std::ostringstream macro;
    macro << "\nProcess T/O Macro   = " << static_cast<const void*>(timer.getProcessTimeoutMacroPtr())
          << "\n";
    EXPECT_NE(text.find(macro.str()), std::string::npos);
    EXPECT_NE(text.find("\nStart ID            = 0\nRepeat Rate         = 0ms\nArg. Pointer        = "),
              std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 9);
}

}  // namespace
