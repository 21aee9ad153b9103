// Helpers for tests that run work on Tasks (task, timer, queue, command):
// commands made of a function, gates that hold a Task's loop at a known
// point, and a running consumer Task. Every wait is bounded, so a broken Task
// fails the test instead of hanging it.
#ifndef HALVIX_TESTS_TASK_TASKTESTSUPPORT_H
#define HALVIX_TESTS_TASK_TASKTESTSUPPORT_H

#include <halvix/command/Command.h>
#include <halvix/command/Macro.h>
#include <halvix/task/Task.h>

#include "common/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>
#include <type_traits>

namespace halvix::test {

// Runs a function when executed; its value is the command's result, and a
// function without one counts as success.
class FunctionCommand : public command::Command
{
public:
    template <typename Work>
    explicit FunctionCommand(Work function)
        : Command("FunctionCommand"), work(withResult(std::move(function)))
    {
    }

protected:
    int myExecute() override { return work(); }

private:
    template <typename Work>
    static std::function<int()> withResult(Work work)
    {
        if constexpr (std::is_void_v<std::invoke_result_t<Work&>>) {
            return [work]() mutable {
                work();
                return 0;
            };
        } else {
            return work;
        }
    }
    std::function<int()> work;
};

// An auto-delete macro of one FunctionCommand.
template <typename Work>
command::Macro* macroOf(const std::string& name, Work work)
{
    auto* macro = new command::Macro(name, false, true);
    macro->add(new FunctionCommand(std::move(work)));
    return macro;
}

// Posts `work` to the Task's event queue as an auto-delete macro.
template <typename Work>
bool post(task::Task& task, Work work)
{
    return task.getEventQueuePtr()->write(macroOf("work", std::move(work)), -1);
}

// Computes `what` on the Task's thread and hands it back.
template <typename T>
T onTaskThread(task::Task& task, std::function<T()> what)
{
    std::promise<T> result;
    auto future = result.get_future();
    if (!post(task, [&result, &what] { result.set_value(what()); }) || !readyWithinBound(future)) {
        ADD_FAILURE() << "no answer from task '" << task.getName() << "'";
        return T();
    }
    return future.get();
}

// join() only joins a Task that still counts as running, so after letting a
// thread end on its own a test watches the state (acquire) instead.
inline bool finishesWithinBound(const task::Task& task)
{
    return eventually([&task] { return !task.isThreadOfExecutionRunning(); });
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

// A started Task whose loop consumes what is written to queue(); terminated
// when the test ends.
class Consumer
{
public:
    explicit Consumer(const std::string& name, unsigned long slots = 64) : task(name, nullptr, slots)
    {
        task.start(nullptr, nullptr, false);
    }
    ~Consumer() { task.terminate(true); }
    queue::Queue* queue() { return task.getEventQueuePtr(); }
    task::Task task;
};

}  // namespace halvix::test

#endif  // HALVIX_TESTS_TASK_TASKTESTSUPPORT_H
