// A Task's loop: exceptions from its hooks and macros, InfiniteLoopMacro, auto-delete Tasks.
#include <halvix/task/Task.h>

#include "TaskTestSupport.h"
#include "common/ErrorRecorder.h"

#include <halvix/error/Error.h>
#include <halvix/os/osTask.h>
#include <halvix/task/InfiniteLoopMacro.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace {

using namespace halvix::task;
using namespace halvix::test;
using halvix::command::Macro;
using halvix::error::Error;
using halvix::queue::Queue;

// A Task whose hooks run what the test sets. Its other members are written
// on the Task's thread and read after it has ended.
class HookTask : public Task
{
public:
    using Task::Task;
    ~HookTask() override { cleanUp(); }  // the hooks use this class's members
    std::function<void()> onInitialize;
    std::function<void()> onFinalize;
    bool runCalled = false;
    int finalStatus = -1;

protected:
    void initialize() override { runCalled = false, onInitialize(); }
    int run(void* arg) override { return runCalled = true, Task::run(arg); }
    void finalize(const int& status) override { finalStatus = status, onFinalize(); }
};

TEST(TaskExceptions, AnyExceptionFromInitializeAMacroOrFinalizeIsReportedAndEndsTheThread)
{
    ErrorRecorder errors;
    Error error(__FILE__, __LINE__, "test", "MacroFailed", Error::ERROR);
    error.getStream() << "macro broke";
    std::ostringstream printed;
    printed << error;
    const std::vector<std::pair<std::function<void()>, std::string>> forms = {
        {[] { throw std::runtime_error("bad"); }, "Exception:\nbad\ncaught"},
        {[&error] { throw error; }, "Exception:\n" + printed.str() + "\ncaught"},
        {[] { throw 42; }, "Unknown exception caught"}};
    HookTask task("thrower", nullptr, 8);
    Queue* events = task.getEventQueuePtr();
    enum Site
    {
        INITIALIZE,
        MACRO,
        FINALIZE
    };
    for (const Site site : {INITIALIZE, MACRO, FINALIZE}) {
        for (const auto& [thrower, report] : forms) {
            SCOPED_TRACE(site);
            task.onInitialize = site == INITIALIZE ? thrower : [] {};
            task.onFinalize = site == FINALIZE ? thrower : [] {};
            // A macro that throws is not deleted by its run: it stays the test's.
            Macro failing("failing", false, false);
            failing.add(new FunctionCommand(thrower));
            ASSERT_TRUE(site != MACRO || events->write(&failing, 0));
            bool laterRan = false;
            ASSERT_TRUE(post(task, [&laterRan] { laterRan = true; }));
            ASSERT_TRUE(task.start(nullptr, nullptr, false));  // also a restart after each failed run
            ASSERT_TRUE(site == FINALIZE ? task.terminate(true) : finishesWithinBound(task));
            // finalize hears how the run ended, but cannot change it
            const int status = site == FINALIZE ? Task::SUCCESSFUL : Task::FAILURE;
            EXPECT_EQ(task.getExitStatus(), status);
            EXPECT_EQ(task.finalStatus, status);
            EXPECT_EQ(task.runCalled, site != INITIALIZE);
            EXPECT_EQ(laterRan, site == FINALIZE);
            EXPECT_EQ(errors.reports().back(), "TaskError/CRITICAL/go: " + report +
                                                   " by task 'thrower' - thread of execution is exiting.");
            for (Macro* left = nullptr; events->read(left, 0);) {
                delete left;
            }
        }
    }
    EXPECT_EQ(errors.entries().size(), 9u);

    // A restart resets the exit status before the new thread runs.
    task.onInitialize = task.onFinalize = [] {};
    Gate gate;
    ASSERT_TRUE(events->write(gate.macro(), 0));
    ASSERT_TRUE(task.start(nullptr, nullptr, false));
    ASSERT_TRUE(gate.reached());
    EXPECT_EQ(task.getExitStatus(), Task::SUCCESSFUL);
    gate.open();
    EXPECT_TRUE(task.terminate(true));
}

TEST(InfiniteLoopMacro, RunsOncePerPassBetweenOtherWorkUntilTheTaskEnds)
{
    ErrorRecorder errors;
    std::unique_ptr<InfiniteLoopMacro> loop;  // outlives the Task, whose queue keeps it
    Task task("looper", nullptr, 8);
    loop = std::make_unique<InfiniteLoopMacro>(task.getEventQueuePtr());
    // Two counters, the first failing: continue on error runs both each pass.
    std::atomic<int> failing{0};  // relaxed: read after the Task's thread has been joined
    std::atomic<int> counted{0};
    loop->add(new FunctionCommand([&failing] { return failing.fetch_add(1, std::memory_order_relaxed), 1; }));
    loop->add(new FunctionCommand([&counted] { counted.fetch_add(1, std::memory_order_relaxed); }));
    ASSERT_TRUE(task.start(nullptr, nullptr, false));
    ASSERT_TRUE(task.getEventQueuePtr()->write(loop.get(), 0));
    ASSERT_TRUE(eventually([&counted] { return counted.load(std::memory_order_relaxed) >= 50; }));
    EXPECT_TRUE(onTaskThread<bool>(task, [] { return true; }));  // other work still gets its turn
    ASSERT_TRUE(task.terminate(true));
    EXPECT_EQ(failing.load(), counted.load());
    EXPECT_EQ(task.getEventQueuePtr()->size(), 1u);  // the loop re-posted itself once more

    // A full queue ends the cycle with the queue's report; the run still says 0.
    Queue full("loop-full", 1);
    InfiniteLoopMacro stalled(&full);
    Macro filler("filler", false, false);
    ASSERT_TRUE(full.write(&filler, 0));
    EXPECT_EQ(stalled.execute(), 0);
    EXPECT_EQ(errors.messages(), Lines{"Could not write macro 'InfiniteLoopMacro' to queue 'loop-full'."});
    Macro* drained = nullptr;
    EXPECT_TRUE(full.read(drained, 0));
}

// Says when it has been destroyed (on the Task's own thread).
class SelfDeletingTask : public Task
{
public:
    SelfDeletingTask(std::promise<void>& onDestroyed) : Task("auto", nullptr, 4), destroyed(onDestroyed) {}
    ~SelfDeletingTask() override { destroyed.set_value(); }

private:
    std::promise<void>& destroyed;
};

TEST(TaskAutoDelete, TheTaskDeletesItselfAndLeavesTheCollection)
{
    ErrorRecorder errors;
    std::promise<void> destroyed;
    Gate gate;
    auto* task = new SelfDeletingTask(destroyed);
    ASSERT_TRUE(task->start(nullptr, nullptr, true));
    ASSERT_TRUE(task->getEventQueuePtr()->write(gate.macro(), 0));
    ASSERT_TRUE(gate.reached());  // the Task cannot end while its loop waits here
    EXPECT_EQ(Task::getTaskPtr("auto"), task);
    EXPECT_EQ(halvix::os::osTaskGetOptions(task->getOsTaskPtr())->joinable, 0);
    int status = 42;
    EXPECT_FALSE(task->join(status));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(task->terminate(true));  // queues the request but cannot wait
    gate.open();
    ASSERT_TRUE(readyWithinBound(destroyed.get_future()));
    // The collection entry goes in ~Task, just after the derived destructor.
    EXPECT_TRUE(eventually([] { return Task::getTaskPtr("auto") == nullptr; }));
    EXPECT_EQ(errors.reports(),
              (Lines{"TaskError/ERROR/join: Can not join task '' to task 'auto' - task was started with auto "
                     "delete.",
                     "TaskError/ERROR/terminate: Can not wait for the termination of task 'auto' - task was "
                     "started with auto delete; the termination request is queued."}));
}

TEST(TaskAutoDelete, ThePriorityIsKnownAsSoonAsStartReturns)
{
    ErrorRecorder errors;
    for (int attempt = 0; attempt < 20; ++attempt) {
        Gate gate;
        // A new name each time: the last one's event queue may still be
        // on its way out.
        const std::string name = "auto-priority-" + std::to_string(attempt);
        auto* task = new Task(name, nullptr, 4);
        ASSERT_TRUE(task->getEventQueuePtr()->write(gate.macro(), 0));  // it cannot end before the gate opens
        ASSERT_TRUE(task->start(nullptr, nullptr, true));
        int priority = 42;
        EXPECT_TRUE(task->getPriority(priority));
        EXPECT_EQ(priority, 0);
        EXPECT_TRUE(task->setPriority(0));
        EXPECT_NE(task->getOsTaskPtr(), nullptr);
        ASSERT_TRUE(gate.reached());
        task->terminate(false);
        gate.open();
        ASSERT_TRUE(eventually([&name] { return Task::getTaskPtr(name) == nullptr; }));
    }
    EXPECT_TRUE(errors.entries().empty());
}

}  // namespace
