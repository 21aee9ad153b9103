// Timers: one-shot, repeating and absolute starts, their queue, ids, output and lateness figures.
#include <halvix/timer/Timer.h>

#include "TimerTestSupport.h"
#include "common/ErrorRecorder.h"

#include <halvix/queue/Queue.h>

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <future>
#include <sstream>

namespace {

using namespace halvix::test;
using halvix::error::Error;
using halvix::queue::Queue;
using halvix::timer::Timer;

TEST(Timer, AOneShotStartFiresOnceNeverEarlyOnTheConsumerAndAnExpiredTimerRestartsWithoutStop)
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

    ASSERT_TRUE(timer.startRelative(1, 0, nullptr));
    ASSERT_TRUE(timer.waitForTimeouts(2));
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(timer.timeouts.load(), 2);  // one-shot: no third
    EXPECT_EQ(errors.reports(),
              Lines{"WrongTimerState/ERROR/startRelative: Timer " + std::to_string(timer.getId()) +
                    " can not be started - timer is already running."});
}

TEST(Timer, ARepeatingTimerFiresUntilStoppedAndOnlyAStoppedTimerRefusesAStop)
{
    ErrorRecorder errors;
    Consumer consumer("consumer");
    CountingTimer timer(consumer.queue());
    ASSERT_TRUE(timer.startRelative(5, 5, nullptr));
    ASSERT_TRUE(timer.waitForTimeouts(4));
    EXPECT_EQ(timer.getState(), Timer::RUNNING);
    timer.stop();
    const int afterStop = timer.timeouts.load();
    std::this_thread::sleep_for(milliseconds(40));
    EXPECT_EQ(timer.timeouts.load(), afterStop);
    ASSERT_TRUE(timer.startRelative(0, 0, nullptr));
    ASSERT_TRUE(timer.waitForTimeouts(afterStop + 1));
    timer.stop();  // accepted on an expired timer
    EXPECT_EQ(timer.getState(), Timer::STOPPED);
    timer.stop();  // refused: already stopped
    EXPECT_EQ(errors.reports(), Lines{"WrongTimerState/WARNING/stop: Timer " + std::to_string(timer.getId()) +
                                      " can not be stopped - timer has not been started."});
}

TEST(Timer, AnAbsoluteTimeInThePastFiresAtOnceAndOneTooFarAheadIsRefused)
{
    ErrorRecorder errors;
    Consumer consumer("consumer");
    CountingTimer timer(consumer.queue());
    ASSERT_TRUE(timer.startAbsolute(static_cast<long>(::time(nullptr)) - 100, 0, nullptr));
    ASSERT_TRUE(timer.waitForTimeouts(1));
    EXPECT_FALSE(timer.startAbsolute(static_cast<long>(::time(nullptr)) + 5000000, 0, nullptr));
    EXPECT_EQ(timer.getState(), Timer::EXPIRED);
    ASSERT_EQ(errors.reports().size(), 1u);
    EXPECT_EQ(errors.reports()[0].rfind("TimerError/ERROR/startAbsolute: Timer " +
                                            std::to_string(timer.getId()) +
                                            " can not be started - start time is ",
                                        0),
              0u);
}

TEST(Timer, TakesTheCallingTasksQueueOrThrowsOnAPlainThread)
{
    ErrorRecorder errors;
    EXPECT_THROW(CountingTimer orphan(nullptr), Error);
    EXPECT_EQ(errors.reports(), Lines{"TimerError/ERROR/Timer: No queue specified to receive process timeout "
                                      "macros for timer with ID = " +
                                      std::to_string(CountingTimer::lastId()) + "."});

    // Built on the Task's thread with no queue, it delivers to that Task.
    Consumer consumer("owner");
    std::promise<void> fired;
    CountingTimer* timer = nullptr;
    ASSERT_TRUE(consumer.queue()->write(macroOf("build",
                                                [&] {
                                                    timer = new CountingTimer(nullptr,
                                                                              [&] { fired.set_value(); });
                                                    timer->startRelative(1, 0, nullptr);
                                                }),
                                        0));
    EXPECT_TRUE(readyWithinBound(fired.get_future()));
    EXPECT_EQ(timer->lastThread.load(),
              onTaskThread<std::thread::id>(consumer.task, [] { return std::this_thread::get_id(); }));
    ASSERT_TRUE(post(consumer.task, [&timer] { delete timer; }));
}

TEST(Timer, IdsWrapAroundAndSkipIdsInUse)
{
    Queue queue("ids", 4);
    CountingTimer::lastId() = 0xFFFFFFFEu;
    CountingTimer last(&queue);
    EXPECT_EQ(last.getId(), 0xFFFFFFFFu);
    CountingTimer zero(&queue);
    EXPECT_EQ(zero.getId(), 0u);            // 0 is an ordinary id after the wrap
    CountingTimer::lastId() = 0xFFFFFFFEu;  // the next two ids are taken
    CountingTimer next(&queue);
    EXPECT_EQ(next.getId(), 1u);
}

TEST(Timer, OutputsNineLabelledLines)
{
    Queue queue("timer-queue", 4);
    CountingTimer timer(&queue);
    std::ostringstream os;
    os << timer;
    std::string text = os.str();
    // The OS timer and the command are internal: their values are left out.
    for (const char* label : {"OS Timer Pointer    = ", "Process T/O Command = "}) {
        const auto at = text.find(label) + std::strlen(label);
        text.erase(at, text.find('\n', at) - at);
    }
    std::ostringstream expected;
    expected << "ID                  = " << timer.getId()
             << "\nQueue               = 'timer-queue'\nOS Timer Pointer    = \nState?              = 0\n"
             << "Process T/O Macro   = " << static_cast<const void*>(timer.getProcessTimeoutMacroPtr())
             << "\nProcess T/O Command = \nStart ID            = 0\nRepeat Rate         = 0ms\n"
             << "Arg. Pointer        = 0\n";
    EXPECT_EQ(text, expected.str());
}

}  // namespace

namespace {

TEST(TimerLateness, KeepsLastAndMaxAndReadsTheMedianFromPowerOfTwoBuckets)
{
    halvix::timer::Lateness lateness;
    EXPECT_EQ(lateness.p50Us(), 0);  // nothing recorded
    for (int64_t us : {0, 3, 700, 900, 1000}) {
        lateness.add(us);
    }
    lateness.add(-5);  // a delivery early by the clock's grain counts as on time
    EXPECT_EQ(lateness.count(), 6u);
    EXPECT_EQ(lateness.lastUs(), 0);
    EXPECT_EQ(lateness.maxUs(), 1000);
    // Sorted: 0 0 3 700 900 1000; the third lands in [2, 4) us, whose upper edge is 4.
    EXPECT_EQ(lateness.p50Us(), 4);
    for (int i = 0; i < 4; ++i) {
        lateness.add(int64_t{1} << 40);  // far beyond the buckets: the last one
    }
    EXPECT_EQ(lateness.p50Us(), 1024);  // the middle two of ten, 700 and 900, are in [512, 1024)
    EXPECT_EQ(lateness.maxUs(), int64_t{1} << 40);
}

}  // namespace
