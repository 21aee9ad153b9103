// Helpers for task tests: commands made of a function, and gates that hold a
// Task's loop at a known point. Every wait is bounded, so a broken Task fails
// the test instead of hanging it.
#ifndef HALVIX_TESTS_TASK_TASKTESTSUPPORT_H
#define HALVIX_TESTS_TASK_TASKTESTSUPPORT_H

#include <halvix/command/Command.h>
#include <halvix/command/Macro.h>
#include <halvix/task/Task.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace halvix::test {

constexpr std::chrono::seconds kBound{10};

// Runs a function when executed; its value is the command's result.
class FunctionCommand : public command::Command
{
public:
    explicit FunctionCommand(std::function<int()> work) : Command("FunctionCommand"), work(std::move(work)) {}

protected:
    int myExecute() override { return work(); }

private:
    std::function<int()> work;
};

// An auto-delete macro of one FunctionCommand.
inline command::Macro* macroOf(const std::string& name, std::function<int()> work)
{
    auto* macro = new command::Macro(name, false, true);
    macro->add(new FunctionCommand(std::move(work)));
    return macro;
}

// True when the future became ready within the bound.
template <typename Future>
bool readyWithinBound(const Future& future)
{
    return future.wait_for(kBound) == std::future_status::ready;
}

// Posts `work` to the Task's event queue as an auto-delete macro.
inline bool post(task::Task& task, std::function<int()> work)
{
    return task.getEventQueuePtr()->write(macroOf("work", std::move(work)), -1);
}

// Computes `what` on the Task's thread and hands it back.
template <typename T>
T onTaskThread(task::Task& task, std::function<T()> what)
{
    std::promise<T> result;
    auto future = result.get_future();
    if (!post(task,
              [&result, &what] {
                  result.set_value(what());
                  return 0;
              }) ||
        !readyWithinBound(future)) {
        ADD_FAILURE() << "no answer from task '" << task.getName() << "'";
        return T();
    }
    return future.get();
}

// Waits (bounded) until the Task's thread has marked it finished: join()
// only joins a Task that still counts as running, so after letting a thread
// end on its own a test watches the state (acquire) instead.
inline bool finishesWithinBound(const task::Task& task)
{
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (task.isThreadOfExecutionRunning() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    return !task.isThreadOfExecutionRunning();
}

// A macro that, executed, says it was reached and then blocks until opened
// (at most the bound).
class Gate
{
public:
    command::Macro* macro()
    {
        return macroOf("Gate", [this] {
            reachedPromise.set_value();
            opened.wait_for(kBound);
            return 0;
        });
    }
    bool reached() { return readyWithinBound(reachedFuture); }
    void open() { openPromise.set_value(); }

private:
    std::promise<void> reachedPromise;
    std::future<void> reachedFuture = reachedPromise.get_future();
    std::promise<void> openPromise;
    std::shared_future<void> opened = openPromise.get_future().share();
};

}  // namespace halvix::test

#endif  // HALVIX_TESTS_TASK_TASKTESTSUPPORT_H
