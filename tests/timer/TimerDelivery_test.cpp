#include <halvix/timer/ProcessTimeoutCommand.h>

#include "TimerTestSupport.h"
#include "common/ErrorRecorder.h"
#include "task/TaskTestSupport.h"

#include <halvix/command/Macro.h>
#include <halvix/error/Error.h>
#include <halvix/queue/Queue.h>
#include <halvix/timer/DeleteProcessTimeoutMacroCommand.h>

#include <gtest/gtest.h>

namespace {

using halvix::command::Macro;
using halvix::error::Error;
using halvix::queue::Queue;
using halvix::test::CountingTimer;
using halvix::test::ErrorRecorder;
using halvix::timer::DeleteProcessTimeoutMacroCommand;
using halvix::timer::ProcessTimeoutCommand;
using halvix::timer::Timer;
using std::chrono::milliseconds;

// The consumer here is the test thread itself: it reads the timer's queue and
// executes what it finds, so every delivery is under the test's control.
Macro* nextDelivery(Queue& queue, int timeoutMs = 2000)
{
    Macro* macro = nullptr;
    queue.read(macro, timeoutMs);
    return macro;
}

TEST(TimerDelivery, DeliveryQueuedBeforeStopIsDroppedAndARestartMakesTheNextCurrent)
{
    Queue queue("deliveries", 8);
    CountingTimer timer(&queue);
    ASSERT_TRUE(timer.startRelative(0, 0, nullptr));
    Macro* stale = nextDelivery(queue);
    ASSERT_EQ(stale, timer.getProcessTimeoutMacroPtr());
    timer.stop();
    EXPECT_EQ(stale->execute(), 1);  // dropped: stopped since that start
    EXPECT_EQ(timer.timeouts.load(), 0);

    ASSERT_TRUE(timer.startRelative(0, 0, nullptr));
    Macro* current = nextDelivery(queue);
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(current->execute(), 0);
    EXPECT_EQ(timer.timeouts.load(), 1);
    EXPECT_EQ(timer.lastThread.load(), std::this_thread::get_id());  // on the consumer
}

TEST(TimerDelivery, TwoQueuedDeliveriesOfARepeatingTimerBothCount)
{
    ErrorRecorder errors;  // the queue may fill up before the test drains it
    Queue queue("repeats", 8);
    CountingTimer timer(&queue);
    ASSERT_TRUE(timer.startRelative(1, 1, nullptr));
    Macro* first = nextDelivery(queue);
    Macro* second = nextDelivery(queue);
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first, second);  // the same macro, posted twice
    EXPECT_EQ(first->execute(), 0);
    EXPECT_EQ(second->execute(), 0);
    EXPECT_EQ(timer.timeouts.load(), 2);
    timer.stop();
    Macro* drained = nullptr;
    while (queue.read(drained, 20)) {
    }
}

TEST(TimerDelivery, DestroyedTimerLeavesItsMacroToTheConsumerAndCallsNothing)
{
    Queue queue("orphans", 8);
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
}

TEST(TimerDelivery, NeverStartedTimerDeletesItsMacroAtOnce)
{
    Queue queue("never", 2);
    {
        CountingTimer timer(&queue);
    }
    EXPECT_EQ(queue.size(), 0u);
}

TEST(TimerDelivery, QueueDestroyedBeforeTheConsumerRanStillFreesEverything)
{
    auto queue = std::make_unique<Queue>("dropped", 8);
    {
        CountingTimer timer(queue.get());
        ASSERT_TRUE(timer.startRelative(0, 0, nullptr));
        ASSERT_TRUE(timer.waitForTimeouts(0));
        while (queue->size() == 0) {
            std::this_thread::yield();
        }
    }
    queue.reset();  // deletes the deletion macro, which owns the timeout macro
}

TEST(TimerDelivery, FullQueueLosesTheExpiryWithAReport)
{
    ErrorRecorder errors;
    Queue queue("tiny", 1);
    Macro filler("filler", false, false);
    ASSERT_TRUE(queue.write(&filler, 0));
    CountingTimer timer(&queue);
    ASSERT_TRUE(timer.startRelative(0, 0, nullptr));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (errors.entries().size() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    ASSERT_EQ(errors.entries().size(), 2u);
    EXPECT_EQ(errors.entries()[0].name, "QueueWriteError");
    EXPECT_EQ(errors.entries()[1].name, "TimerError");
    EXPECT_EQ(errors.entries()[1].function, "processTimeout");
    EXPECT_EQ(errors.messages()[1], "Could not write Process Timeout Macro to queue 'tiny' for timer " +
                                        std::to_string(timer.getId()) + " status = 0.");
    Macro* taken = nullptr;
    ASSERT_TRUE(queue.read(taken, 0));  // room for the deletion macro
    timer.cleanUp();
    ASSERT_TRUE(queue.read(taken, 0));
    taken->execute();
}

TEST(TimeoutCommands, NullArgumentsAreThrownAndADeletionRunsOnce)
{
    ErrorRecorder errors;
    EXPECT_THROW(ProcessTimeoutCommand(nullptr), Error);
    EXPECT_THROW(DeleteProcessTimeoutMacroCommand(7, nullptr), Error);
    EXPECT_EQ(errors.messages(),
              (std::vector<std::string>{
                  "Null pointer (timerPtr) passed to ProcessTimeoutCommand::ProcessTimeoutCommand.",
                  "Null pointer (processTimeoutMacroPtr) passed to "
                  "DeleteProcessTimeoutMacroCommand::DeleteProcessTimeoutMacroCommand."}));

    DeleteProcessTimeoutMacroCommand deletion(7, new Macro("Process Timeout Macro", false, false));
    EXPECT_EQ(deletion.execute(), 0);
    EXPECT_EQ(deletion.execute(), 0);  // nothing left to delete
}

}  // namespace
