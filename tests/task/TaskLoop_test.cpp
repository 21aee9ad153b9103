#include <halvix/task/Task.h>

#include "TaskTestSupport.h"
#include "common/ErrorRecorder.h"

#include <halvix/error/Error.h>
#include <halvix/os/osTask.h>
#include <halvix/task/InfiniteLoopMacro.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using halvix::command::Macro;
using halvix::error::Error;
using halvix::os::osTaskGetOptions;
using halvix::queue::Queue;
using halvix::task::InfiniteLoopMacro;
using halvix::task::Task;
using halvix::test::ErrorRecorder;
using halvix::test::finishesWithinBound;
using halvix::test::FunctionCommand;
using halvix::test::Gate;
using halvix::test::macroOf;
using halvix::test::onTaskThread;
using halvix::test::post;
using halvix::test::readyWithinBound;

// A Task with programmable hooks that remembers what its thread saw. Its
// members are written on the Task's thread and read after it has ended.
class HookTask : public Task
{
public:
    HookTask(const std::string& name, std::function<void()> onInitialize, std::function<void()> onFinalize)
        : Task(name, nullptr, 8), onInitialize(std::move(onInitialize)), onFinalize(std::move(onFinalize))
    {
    }
    // The hooks use this class's members: stop the thread before they go.
    ~HookTask() override
    {
        if (isThreadOfExecutionRunning()) {
            terminate(true);
        }
    }
    bool runCalled = false;
    int finalStatus = -1;

protected:
    void initialize() override
    {
        if (onInitialize) {
            onInitialize();
        }
    }
    int run(void* arg) override
    {
        runCalled = true;
        return Task::run(arg);
    }
    void finalize(const int& exitStatus) override
    {
        finalStatus = exitStatus;
        if (onFinalize) {
            onFinalize();
        }
    }

private:
    std::function<void()> onInitialize;
    std::function<void()> onFinalize;
};

Error makeError(const std::string& name, const std::string& text)
{
    Error error(__FILE__, __LINE__, "test", name, Error::ERROR);
    error.getStream() << text;
    return error;
}

std::string printed(const Error& error)
{
    std::ostringstream os;
    os << error;
    return os.str();
}

std::string exiting(const std::string& what, const std::string& task)
{
    return "Exception:\n" + what + "\ncaught by task '" + task + "' - thread of execution is exiting.";
}

void expectCriticalGoReport(const ErrorRecorder::Entry& entry, const std::string& message)
{
    EXPECT_EQ(entry.name, "TaskError");
    EXPECT_EQ(entry.severity, Error::CRITICAL);
    EXPECT_EQ(entry.function, "go");
    EXPECT_EQ(entry.message, message);
}

TEST(TaskExceptions, InitializeFailureSkipsRunAndFinalizeSeesFailureEvenIfItThrowsToo)
{
    ErrorRecorder errors;
    const Error thrown = makeError("InitFailed", "no configuration");
    HookTask task(
        "init", [&thrown] { throw thrown; }, [] { throw std::runtime_error("finalize failed"); });
    ASSERT_TRUE(task.start(nullptr, nullptr, false));
    ASSERT_TRUE(finishesWithinBound(task));
    EXPECT_EQ(task.getExitStatus(), Task::FAILURE);
    EXPECT_FALSE(task.runCalled);
    EXPECT_EQ(task.finalStatus, Task::FAILURE);
    const auto entries = errors.entries();
    ASSERT_EQ(entries.size(), 2u);
    expectCriticalGoReport(entries[0], exiting(printed(thrown), "init"));
    expectCriticalGoReport(entries[1], exiting("finalize failed", "init"));
}

TEST(TaskExceptions, FinalizeFailureAfterACleanEndKeepsExitStatusZero)
{
    ErrorRecorder errors;
    HookTask task("fin", nullptr, [] { throw std::runtime_error("cleanup failed"); });
    ASSERT_TRUE(task.start(nullptr, nullptr, false));
    ASSERT_TRUE(task.terminate(true));
    EXPECT_TRUE(task.runCalled);
    EXPECT_EQ(task.finalStatus, Task::SUCCESSFUL);
    EXPECT_EQ(task.getExitStatus(), Task::SUCCESSFUL);
    ASSERT_EQ(errors.entries().size(), 1u);
    expectCriticalGoReport(errors.entries()[0], exiting("cleanup failed", "fin"));
}

TEST(TaskExceptions, AnyExceptionFromAMacroEndsTheRunWithFailureAndLeavesLaterMacros)
{
    ErrorRecorder errors;
    const Error macroError = makeError("MacroFailed", "macro broke");
    struct Case
    {
        std::function<void()> fail;
        std::string report;
    };
    const std::vector<Case> cases = {
        {[] { throw std::runtime_error("bad macro"); }, exiting("bad macro", "thrower")},
        {[&macroError] { throw macroError; }, exiting(printed(macroError), "thrower")},
        {[] { throw 42; }, "Unknown exception caught by task 'thrower' - thread of execution is exiting."},
    };
    Task task("thrower", nullptr, 8);
    Queue* events = task.getEventQueuePtr();
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        // A macro that throws is not deleted by its run: it stays the test's.
        Macro failing("failing", false, false);
        failing.add(new FunctionCommand([&cases, i]() -> int {
            cases[i].fail();
            return 0;
        }));
        bool laterRan = false;
        ASSERT_TRUE(events->write(&failing, 0));
        ASSERT_TRUE(post(task, [&laterRan] {
            laterRan = true;
            return 0;
        }));
        ASSERT_TRUE(task.start(nullptr, nullptr, false));  // also a restart after each failed run
        ASSERT_TRUE(finishesWithinBound(task));
        EXPECT_EQ(task.getExitStatus(), Task::FAILURE);
        EXPECT_FALSE(laterRan);
        ASSERT_EQ(errors.entries().size(), i + 1);
        expectCriticalGoReport(errors.entries()[i], cases[i].report);
        Macro* left = nullptr;
        ASSERT_TRUE(events->read(left, 0));
        delete left;
    }

    // A restart resets the exit status before the new thread runs.
    Gate gate;
    ASSERT_TRUE(events->write(gate.macro(), 0));
    ASSERT_TRUE(task.start(nullptr, nullptr, false));
    ASSERT_TRUE(gate.reached());
    EXPECT_EQ(task.getExitStatus(), Task::SUCCESSFUL);
    EXPECT_EQ(task.getState(), Task::RUNNING);
    gate.open();
    EXPECT_TRUE(task.terminate(true));
    EXPECT_EQ(task.getExitStatus(), Task::SUCCESSFUL);
    EXPECT_EQ(errors.entries().size(), cases.size());
}

TEST(InfiniteLoopMacro, RunsOncePerPassBetweenOtherWorkUntilTheTaskEnds)
{
    ErrorRecorder errors;
    std::unique_ptr<InfiniteLoopMacro> loop;  // outlives the Task, whose queue keeps it
    Task task("looper", nullptr, 8);
    loop = std::make_unique<InfiniteLoopMacro>(task.getEventQueuePtr());

    // Two counters, the first failing: continue on error runs both each pass.
    std::atomic<int> failing{0};
    std::atomic<int> counted{0};
    std::promise<void> manyPasses;
    loop->add(new FunctionCommand([&failing] {
        failing.fetch_add(1, std::memory_order_relaxed);
        return 1;
    }));
    loop->add(new FunctionCommand([&counted, &manyPasses] {
        if (counted.fetch_add(1, std::memory_order_relaxed) + 1 == 50) {
            manyPasses.set_value();
        }
        return 0;
    }));
    ASSERT_TRUE(task.start(nullptr, nullptr, false));
    ASSERT_TRUE(task.getEventQueuePtr()->write(loop.get(), 0));
    ASSERT_TRUE(readyWithinBound(manyPasses.get_future()));

    EXPECT_TRUE(onTaskThread<bool>(task, [] { return true; }));  // other work still gets its turn

    ASSERT_TRUE(task.terminate(true));
    const int after = counted.load();
    EXPECT_EQ(failing.load(), after);
    EXPECT_EQ(task.getEventQueuePtr()->size(), 1u);  // the loop re-posted itself once more
    EXPECT_TRUE(errors.entries().empty());

    // A full queue ends the cycle with the queue's report; the run still says 0.
    Queue full("loop-full", 1);
    InfiniteLoopMacro stalled(&full);
    Macro filler("filler", false, false);
    ASSERT_TRUE(full.write(&filler, 0));
    EXPECT_EQ(stalled.execute(), 0);
    EXPECT_EQ(full.size(), 1u);
    ASSERT_EQ(errors.entries().size(), 1u);
    EXPECT_EQ(errors.messages()[0], "Could not write macro 'InfiniteLoopMacro' to queue 'loop-full'.");
    Macro* drained = nullptr;
    EXPECT_TRUE(full.read(drained, 0));
}

// Says when it has been destroyed (on the Task's own thread).
class SelfDeletingTask : public Task
{
public:
    SelfDeletingTask(const std::string& name, std::promise<void>* destroyed)
        : Task(name, nullptr, 4), destroyed(destroyed)
    {
    }
    ~SelfDeletingTask() override { destroyed->set_value(); }

private:
    std::promise<void>* destroyed;
};

TEST(TaskAutoDelete, TheTaskDeletesItselfAndLeavesTheCollection)
{
    ErrorRecorder errors;
    std::promise<void> destroyed;
    Gate gate;
    auto* task = new SelfDeletingTask("auto", &destroyed);
    ASSERT_TRUE(task->start(nullptr, nullptr, true));
    ASSERT_TRUE(task->getEventQueuePtr()->write(gate.macro(), 0));
    ASSERT_TRUE(gate.reached());  // the Task cannot end while its loop waits here
    EXPECT_EQ(Task::getTaskPtr("auto"), task);
    EXPECT_EQ(osTaskGetOptions(task->getOsTaskPtr())->joinable, 0);
    int status = 42;
    EXPECT_FALSE(task->join(status));
    EXPECT_EQ(status, 0);
    // Queues the request but cannot wait; the Task is not touched afterwards.
    EXPECT_FALSE(task->terminate(true));
    gate.open();

    ASSERT_TRUE(readyWithinBound(destroyed.get_future()));
    // The collection entry goes in ~Task, just after the derived destructor.
    const auto deadline = std::chrono::steady_clock::now() + halvix::test::kBound;
    while (Task::getTaskPtr("auto") != nullptr && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_EQ(Task::getTaskPtr("auto"), nullptr);

    const auto entries = errors.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "TaskError");
    EXPECT_EQ(entries[0].message, "Can not join task '' to task 'auto' - task was started with auto delete.");
    EXPECT_EQ(entries[1].name, "TaskError");
    EXPECT_EQ(entries[1].message,
              "Can not wait for the termination of task 'auto' - task was started with auto "
              "delete; the termination request is queued.");
}

TEST(TaskPool, AForwardingQueueSpreadsWorkOverThreeTasksWithoutLosingAny)
{
#if defined(__SANITIZE_THREAD__)
    constexpr int kPerWriter = 100;
#else
    constexpr int kPerWriter = 2000;
#endif
    constexpr int kTasks = 3;
    constexpr int kPreStart = 30 * kTasks;
    constexpr int kWriters = 2;
    ErrorRecorder errors;
    Queue in("pool-in", 1);  // forwards, so it stores nothing
    std::vector<std::unique_ptr<Task>> pool;
    for (int i = 0; i < kTasks; ++i) {
        pool.push_back(std::make_unique<Task>("pool-" + std::to_string(i), &in, 128));
    }
    EXPECT_EQ(in.getNumQueuesToForwardTo(), static_cast<unsigned long>(kTasks));

    // Each Task's counter is written by its own thread only, without a lock:
    // a macro run on two threads at once, or on the wrong one, shows here
    // (and to ThreadSanitizer).
    int executedBy[kTasks] = {0, 0, 0};
    std::atomic<long> checksum{0};
    auto job = [&](long id) {
        return macroOf("job", [&executedBy, &checksum, id] {
            const std::string me = Task::getMyName();
            ++executedBy[me.back() - '0'];
            checksum.fetch_add(id, std::memory_order_relaxed);
            return 0;
        });
    };

    // Before the Tasks run, equal queue sizes spread the work round robin,
    // so every Task gets some.
    long nextId = 0;
    for (; nextId < kPreStart; ++nextId) {
        ASSERT_TRUE(in.write(job(nextId), -1));
    }
    for (auto& task : pool) {
        ASSERT_TRUE(task->start(nullptr, nullptr, false));
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        const long first = kPreStart + w * kPerWriter;
        writers.emplace_back([&in, &job, first] {
            for (long id = first; id < first + kPerWriter; ++id) {
                in.write(job(id), -1);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    for (auto& task : pool) {
        task->removeQueue(&in);  // no writer is left
        // The request is written without waiting: let the backlog drain
        // first, or a full event queue refuses it.
        EXPECT_TRUE(onTaskThread<bool>(*task, [] { return true; }));
        EXPECT_TRUE(task->terminate(true));
    }

    const long total = kPreStart + kWriters * kPerWriter;
    long executed = 0;
    for (int count : executedBy) {
        EXPECT_GE(count, kPreStart / kTasks);
        executed += count;
    }
    EXPECT_EQ(executed, total);
    EXPECT_EQ(checksum.load(), total * (total - 1) / 2);
    EXPECT_TRUE(errors.entries().empty());
}

}  // namespace
