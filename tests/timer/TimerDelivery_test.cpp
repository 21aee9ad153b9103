// Timer deliveries read by the test itself: stale ones dropped, full queues, orphaned macros.
#include <halvix/timer/ProcessTimeoutCommand.h>

#include "TimerTestSupport.h"
#include "common/ErrorRecorder.h"

#include <halvix/command/Macro.h>
#include <halvix/error/Error.h>
#include <halvix/queue/Queue.h>
#include <halvix/timer/DeleteProcessTimeoutMacroCommand.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace halvix::test;
using halvix::command::Macro;
using halvix::error::Error;
using halvix::queue::Queue;
using halvix::timer::DeleteProcessTimeoutMacroCommand;
using halvix::timer::ProcessTimeoutCommand;

// The consumer here is the test thread itself: it reads the timer's queue and
// executes what it finds, so every delivery is under the test's control.
Macro* nextDelivery(Queue& queue, int timeoutMs = 2000)
{
    Macro* macro = nullptr;
    queue.read(macro, timeoutMs);
    return macro;
}

TEST(TimerDelivery, StaleDeliveriesAreDroppedAndEveryCurrentOneCounts)
{
    ErrorRecorder errors;  // the repeating timer may fill the queue before the test drains it
    Queue queue("deliveries", 8);
    CountingTimer timer(&queue);
    ASSERT_TRUE(timer.startRelative(0, 0, nullptr));
    Macro* stale = nextDelivery(queue);
    ASSERT_EQ(stale, timer.getProcessTimeoutMacroPtr());
    timer.stop();
    EXPECT_EQ(stale->execute(), 1);  // dropped: stopped since that start
    EXPECT_EQ(timer.timeouts.load(), 0);

    ASSERT_TRUE(timer.startRelative(0, 0, nullptr));  // a restart makes the next delivery current
    ASSERT_EQ(nextDelivery(queue), stale);
    EXPECT_EQ(stale->execute(), 0);
    EXPECT_EQ(timer.timeouts.load(), 1);
    EXPECT_EQ(timer.lastThread.load(), std::this_thread::get_id());  // on the consumer

    // An expiry while the delivery still waits is not posted a second time
    // but handed to it: the delivery posts the macro again as it ends, so
    // both expiries count.
    ASSERT_TRUE(timer.startRelative(1, 1, nullptr));
    ASSERT_EQ(nextDelivery(queue), stale);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // several more expiries
    EXPECT_EQ(queue.size(), 0u);
    EXPECT_EQ(stale->execute(), 0);
    ASSERT_EQ(nextDelivery(queue), stale);  // re-posted behind the queue
    EXPECT_EQ(stale->execute(), 0);
    EXPECT_EQ(timer.timeouts.load(), 3);
    timer.stop();
    while (nextDelivery(queue, 20) != nullptr) {
    }
}

TEST(TimerDelivery, ADestroyedTimerLeavesItsMacroToTheConsumerOrTheQueue)
{
    Queue queue("orphans", 8);
    {
        CountingTimer never(&queue);  // never started: its macro is deleted at once
    }
    EXPECT_EQ(queue.size(), 0u);
    Macro* delivery = nullptr;
    {
        CountingTimer timer(&queue);
        ASSERT_TRUE(timer.startRelative(0, 0, nullptr));
        delivery = nextDelivery(queue);
        ASSERT_NE(delivery, nullptr);
    }
    EXPECT_EQ(delivery->execute(), 1);  // the timer is gone: nothing is called
    Macro* deletion = nextDelivery(queue, 0);
    ASSERT_NE(deletion, nullptr);
    EXPECT_EQ(deletion->getName(), "Delete Process Timeout Macro Macro");
    EXPECT_EQ(deletion->execute(), 0);  // deletes the timeout macro, then itself (leak-free under asan)

    // Left in a queue that is destroyed unread, the deletion macro (which owns
    // the timeout macro) goes with the queue.
    auto dropped = std::make_unique<Queue>("dropped", 8);
    {
        CountingTimer timer(dropped.get());
        ASSERT_TRUE(timer.startRelative(0, 0, nullptr));
        ASSERT_TRUE(eventually([&dropped] { return dropped->size() == 1; }));
    }
    dropped.reset();
}

TEST(TimerDelivery, FullQueueLosesTheExpiryWithAReport)
{
    ErrorRecorder errors;
    Queue queue("tiny", 1);
    Macro filler("filler", false, false);
    ASSERT_TRUE(queue.write(&filler, 0));
    CountingTimer timer(&queue);
    ASSERT_TRUE(timer.startRelative(0, 0, nullptr));
    ASSERT_TRUE(eventually([&errors] { return errors.entries().size() == 2; }));
    EXPECT_EQ(
        errors.reports(),
        (Lines{"QueueWriteError/ERROR/write: Could not write macro 'Process Timeout Macro' to queue 'tiny'.",
               "TimerError/ERROR/processTimeout: Could not write Process Timeout Macro to queue 'tiny' for "
               "timer " +
                   std::to_string(timer.getId()) + " status = 0."}));
    ASSERT_EQ(nextDelivery(queue, 0), &filler);  // room for the deletion macro
    timer.cleanUp();
    nextDelivery(queue, 0)->execute();
}

TEST(TimeoutCommands, NullArgumentsAreThrownAndADeletionRunsOnce)
{
    ErrorRecorder errors;
    EXPECT_THROW(ProcessTimeoutCommand(nullptr), Error);
    EXPECT_THROW(DeleteProcessTimeoutMacroCommand(7, nullptr), Error);
    EXPECT_EQ(errors.messages(),
              (Lines{"Null pointer (timerPtr) passed to ProcessTimeoutCommand::ProcessTimeoutCommand.",
                     "Null pointer (processTimeoutMacroPtr) passed to "
                     "DeleteProcessTimeoutMacroCommand::DeleteProcessTimeoutMacroCommand."}));
    DeleteProcessTimeoutMacroCommand deletion(7, new Macro("Process Timeout Macro", false, false));
    EXPECT_EQ(deletion.execute(), 0);
    EXPECT_EQ(deletion.execute(), 0);  // nothing left to delete
}

}  // namespace
