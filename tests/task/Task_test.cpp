#include <halvix/task/Task.h>

#include "TaskTestSupport.h"
#include "common/ErrorRecorder.h"

#include <halvix/error/Error.h>
#include <halvix/os/osTask.h>
#include <halvix/task/TerminateTaskMacro.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using halvix::error::Error;
using halvix::os::osTaskGetOptions;
using halvix::queue::Queue;
using halvix::task::Task;
using halvix::task::TerminateTaskMacro;
using halvix::test::ErrorRecorder;
using halvix::test::finishesWithinBound;
using halvix::test::Gate;
using halvix::test::macroOf;
using halvix::test::onTaskThread;
using halvix::test::post;
using halvix::test::readyWithinBound;

// Remembers the argument that reaches run.
class ArgTask : public Task
{
public:
    using Task::Task;
    void* seenArg = nullptr;

protected:
    int run(void* arg) override
    {
        seenArg = arg;
        return Task::run(arg);
    }
};

TEST(TaskRoad, OneMacroFromAnApplicationThreadToTheTaskAndTermination)
{
    ErrorRecorder errors;
    ArgTask worker("worker", nullptr, 10);
    Queue* eventQueue = worker.getEventQueuePtr();
    EXPECT_EQ(eventQueue->getName(), "worker-TaskEventQueue");
    EXPECT_EQ(eventQueue->getMaxMacros(), 10u);
    EXPECT_EQ(Queue::getQueuePtr("worker-TaskEventQueue"), eventQueue);
    EXPECT_EQ(Task::getTaskPtr("worker"), &worker);
    EXPECT_EQ(worker.getState(), Task::NOT_RUNNING);
    EXPECT_EQ(worker.getOsTaskPtr(), nullptr);

    int arg = 7;
    ASSERT_TRUE(worker.start(nullptr, &arg, false));
    EXPECT_TRUE(worker.isThreadOfExecutionRunning());

    using Seen = std::pair<std::string, Task*>;
    const Seen inside =
        onTaskThread<Seen>(worker, [] { return Seen(Task::getMyName(), Task::getTaskPtr("")); });
    EXPECT_EQ(inside, Seen("worker", &worker));

    const halvix::os::osTaskOptions_t* options = osTaskGetOptions(worker.getOsTaskPtr());
    EXPECT_STREQ(options->name, "worker");
    EXPECT_NE(options->joinable, 0);
    EXPECT_EQ(options->reserved, &worker);

    EXPECT_TRUE(worker.terminate(true));
    EXPECT_EQ(worker.getState(), Task::NOT_RUNNING);
    EXPECT_EQ(worker.getExitStatus(), Task::SUCCESSFUL);
    EXPECT_EQ(worker.seenArg, &arg);
    EXPECT_EQ(eventQueue->size(), 0u);  // the request was consumed
    EXPECT_TRUE(errors.entries().empty());
}

// A request written straight into the queue: the loop must end on it and
// delete it, never execute it.
class WatchedRequest : public TerminateTaskMacro
{
public:
    WatchedRequest(Queue* queue, bool* executed, bool* deleted)
        : TerminateTaskMacro(queue), executed(executed), deleted(deleted)
    {
    }
    ~WatchedRequest() override { *deleted = true; }

protected:
    int myExecute() override
    {
        *executed = true;
        return TerminateTaskMacro::myExecute();
    }

private:
    bool* executed;
    bool* deleted;
};

TEST(TaskTermination, QueuedWorkIsDoneInOrderBeforeTheRequestWhichIsDeletedUnexecuted)
{
    ErrorRecorder errors;
    Gate gate;
    Task task("orderly", nullptr, 10);
    ASSERT_TRUE(task.start(nullptr, nullptr, false));
    ASSERT_TRUE(task.getEventQueuePtr()->write(gate.macro(), -1));
    ASSERT_TRUE(gate.reached());

    std::vector<int> done;  // written on the Task's thread only, read after join
    for (int id = 1; id <= 3; ++id) {
        ASSERT_TRUE(post(task, [&done, id] {
            done.push_back(id);
            return 0;
        }));
    }
    EXPECT_TRUE(task.terminate(false));
    // The loop is held at the gate: the request waits behind the three macros.
    EXPECT_TRUE(task.waitingToTerminate());
    EXPECT_EQ(task.getState(), Task::WAITING_TO_TERMINATE);
    EXPECT_TRUE(task.isThreadOfExecutionRunning());
    EXPECT_EQ(task.getEventQueuePtr()->size(), 4u);
    gate.open();

    ASSERT_TRUE(finishesWithinBound(task));
    EXPECT_EQ(task.getExitStatus(), Task::SUCCESSFUL);
    EXPECT_EQ(done, (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(task.waitingToTerminate());

    // Restarted, the loop ends on a request it only recognises by its type.
    bool executed = false;
    bool deleted = false;
    ASSERT_TRUE(task.start(nullptr, nullptr, false));
    ASSERT_TRUE(
        task.getEventQueuePtr()->write(new WatchedRequest(task.getEventQueuePtr(), &executed, &deleted), -1));
    ASSERT_TRUE(finishesWithinBound(task));
    EXPECT_EQ(task.getExitStatus(), Task::SUCCESSFUL);
    EXPECT_TRUE(deleted);
    EXPECT_FALSE(executed);
    EXPECT_TRUE(errors.entries().empty());
}

TEST(TaskTermination, FullEventQueueRefusesTheRequestAndTheTaskKeepsRunning)
{
    ErrorRecorder errors;
    Gate gate;
    Task task("full", nullptr, 1);
    ASSERT_TRUE(task.start(nullptr, nullptr, false));
    ASSERT_TRUE(task.getEventQueuePtr()->write(gate.macro(), -1));
    ASSERT_TRUE(gate.reached());
    std::promise<void> fillerRan;
    ASSERT_TRUE(post(task, [&fillerRan] {
        fillerRan.set_value();
        return 0;
    }));

    EXPECT_FALSE(task.terminate(true));  // returns at once: the write does not wait
    EXPECT_EQ(task.getState(), Task::RUNNING);
    const auto entries = errors.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, Queue::WRITE_ERROR);
    EXPECT_EQ(entries[0].message,
              "Could not write macro 'TerminateTaskMacro' to queue 'full-TaskEventQueue'.");
    EXPECT_EQ(entries[1].name, "TaskError");
    EXPECT_EQ(entries[1].severity, Error::ERROR);
    EXPECT_EQ(entries[1].function, "terminate");
    EXPECT_EQ(entries[1].message, "Could not terminate task 'full' - unknown error.");

    gate.open();
    ASSERT_TRUE(readyWithinBound(fillerRan.get_future()));  // the slot is free again
    EXPECT_TRUE(task.terminate(true));
    EXPECT_EQ(task.getExitStatus(), Task::SUCCESSFUL);
}

TEST(TaskNames, DuplicateEmptyAndOverlongNames)
{
    ErrorRecorder errors;
    Task first("dup", nullptr, 4);
    // The event queue's registry sees the clash first.
    EXPECT_THROW(Task("dup", nullptr, 4), Error);
    ASSERT_EQ(errors.entries().size(), 1u);
    EXPECT_EQ(errors.entries()[0].name, "AlreadyExists");
    EXPECT_EQ(errors.messages()[0],
              "Queue 'dup-TaskEventQueue' is already in the Queue Collection (i.e., name is "
              "not unique).");
    EXPECT_EQ(Task::getTaskPtr("dup"), &first);
    EXPECT_EQ(Queue::getQueuePtr("dup-TaskEventQueue"), first.getEventQueuePtr());

    // The thread's OS task name, and the Task it finds by that name.
    using Seen = std::pair<std::string, Task*>;
    auto lookFromInside = [](Task& task) {
        return onTaskThread<Seen>(task, [] { return Seen(Task::getMyName(), Task::getTaskPtr("")); });
    };

    Task unnamed("", nullptr, 4);
    EXPECT_EQ(unnamed.getEventQueuePtr()->getName(), "-TaskEventQueue");
    char address[32];
    std::snprintf(address, sizeof(address), "%p", static_cast<void*>(&unnamed));
    const std::string prefix = std::string("Task:") + address + ":ID";
    long ids[2] = {0, 0};
    for (long& id : ids) {  // each start draws a new number
        ASSERT_TRUE(unnamed.start(nullptr, nullptr, false));
        const auto inside = lookFromInside(unnamed);
        ASSERT_EQ(inside.first.compare(0, prefix.size(), prefix), 0) << inside.first;
        const std::string number = inside.first.substr(prefix.size());
        ASSERT_FALSE(number.empty());
        ASSERT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << inside.first;
        id = std::stol(number);
        EXPECT_EQ(inside.second, nullptr);
        EXPECT_TRUE(unnamed.terminate(true));
    }
    EXPECT_GE(ids[0], 1);
    EXPECT_EQ(ids[1], ids[0] + 1);

    // The OS task name is cut to 127 characters, so the Task cannot find
    // itself by it; a name in the caller's options is replaced.
    const std::string longName(200, 'n');
    Task overlong(longName, nullptr, 4);
    halvix::os::osTaskOptions_t options{};
    std::snprintf(options.name, sizeof(options.name), "callers-name");
    ASSERT_TRUE(overlong.start(&options, nullptr, false));
    const auto inside = lookFromInside(overlong);
    EXPECT_EQ(inside.first, longName.substr(0, 127));
    EXPECT_EQ(inside.second, nullptr);
    EXPECT_EQ(Task::getTaskPtr(longName), &overlong);
    EXPECT_TRUE(overlong.terminate(true));
    EXPECT_EQ(errors.entries().size(), 1u);
}

TEST(TaskState, WrongStatesAreReportedAndAnsweredWithFalse)
{
    ErrorRecorder errors;
    Task idle("idle", nullptr, 4);
    int status = 42;
    int priority = 42;
    EXPECT_FALSE(idle.terminate(false));
    EXPECT_FALSE(idle.join(status));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(idle.setPriority(0));
    EXPECT_FALSE(idle.getPriority(priority));
    EXPECT_EQ(priority, 42);

    ASSERT_TRUE(idle.start(nullptr, nullptr, false));
    EXPECT_FALSE(idle.start(nullptr, nullptr, false));
    EXPECT_TRUE(idle.setPriority(0));  // time-sharing: 0 is the only priority
    EXPECT_TRUE(idle.getPriority(priority));
    EXPECT_EQ(priority, 0);

    // Joined from another Task, the message names the caller's OS task.
    Task other("other", nullptr, 4);
    ASSERT_TRUE(other.start(nullptr, nullptr, false));
    Task never("never", nullptr, 4);
    EXPECT_FALSE(onTaskThread<bool>(other, [&never] {
        int ignored = 0;
        return never.join(ignored);
    }));
    EXPECT_TRUE(other.terminate(true));
    EXPECT_TRUE(idle.terminate(true));

    const std::vector<std::pair<std::string, std::string>> expected = {
        {"terminate", "Task 'idle' can not be terminated - task is not running."},
        {"join", "Can not join task '' to task 'idle' - task is not running."},
        {"setPriority", "Can not set priority of task 'idle' to 0 - task is not running."},
        {"getPriority", "Can not get priority of task 'idle' - task is not running."},
        {"start", "Task 'idle' can not be started - task is already running."},
        {"join", "Can not join task 'other' to task 'never' - task is not running."},
    };
    const auto entries = errors.entries();
    ASSERT_EQ(entries.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(entries[i].name, "WrongTaskState");
        EXPECT_EQ(entries[i].severity, Error::ERROR);
        EXPECT_EQ(entries[i].function, expected[i].first);
        EXPECT_EQ(entries[i].message, expected[i].second);
    }
}

TEST(TaskState, JoinAndWaitingTerminateFromTheTasksOwnThreadReportInsteadOfDeadlocking)
{
    ErrorRecorder errors;
    Task self("self", nullptr, 4);
    ASSERT_TRUE(self.start(nullptr, nullptr, false));
    const auto answers = onTaskThread<std::pair<bool, bool>>(self, [&self] {
        int status = 42;
        const bool joined = self.join(status) || status != 0;
        return std::make_pair(joined, self.terminate(true));
    });
    EXPECT_EQ(answers, std::make_pair(false, false));

    // The request was queued all the same: the loop ends after that macro.
    ASSERT_TRUE(finishesWithinBound(self));
    EXPECT_EQ(self.getExitStatus(), Task::SUCCESSFUL);
    const auto entries = errors.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "TaskError");
    EXPECT_EQ(entries[0].function, "join");
    EXPECT_EQ(entries[0].message,
              "Can not join task 'self' to task 'self' - called on its own thread of execution.");
    EXPECT_EQ(entries[1].name, "TaskError");
    EXPECT_EQ(entries[1].function, "terminate");
    EXPECT_EQ(entries[1].message,
              "Can not wait for the termination of task 'self' - called on its own thread of "
              "execution; the termination request is queued.");
}

TEST(TaskLifecycle, DestroyingARunningTaskTerminatesAndJoinsItEvenWithAFullEventQueue)
{
    for (const unsigned long slots : {4ul, 1ul}) {
        SCOPED_TRACE(slots);
        ErrorRecorder errors;
        Gate gate;
        bool lateWorkDone = false;  // written on the Task's thread, read after its end
        auto task = std::make_unique<Task>("doomed", nullptr, slots);
        ASSERT_TRUE(task->start(nullptr, nullptr, false));
        ASSERT_TRUE(task->getEventQueuePtr()->write(gate.macro(), -1));
        ASSERT_TRUE(gate.reached());
        ASSERT_TRUE(post(*task, [&] {
            lateWorkDone = true;
            return 0;
        }));
        // Opens the gate while the destructor waits (the event queue lives
        // until the thread has ended): once the request is queued behind the
        // late work, or once the full queue has refused it.
        Queue* events = task->getEventQueuePtr();
        std::thread opener([events, &errors, &gate] {
            const auto deadline = std::chrono::steady_clock::now() + halvix::test::kBound;
            while (events->size() < 2 && errors.entries().size() < 2 &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
            gate.open();
        });
        task.reset();  // returns once the loop has done the late work and read the request
        opener.join();
        EXPECT_TRUE(lateWorkDone);
        EXPECT_EQ(Task::getTaskPtr("doomed"), nullptr);
        const auto entries = errors.entries();
        ASSERT_EQ(entries.size(), slots == 1 ? 2u : 0u);
        if (slots == 1) {
            EXPECT_EQ(entries[1].message, "Could not terminate task 'doomed' - unknown error.");
        }
    }
}

TEST(TaskLifecycle, NullQueuesAreThrown)
{
    ErrorRecorder errors;
    Task task("nulls", nullptr, 4);
    EXPECT_THROW(task.addQueue(nullptr), Error);
    EXPECT_THROW(task.removeQueue(nullptr), Error);
    EXPECT_THROW(TerminateTaskMacro(nullptr), Error);
    const auto entries = errors.entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].function, "addQueue");
    EXPECT_EQ(entries[0].message, "Null pointer (queuePtr) passed to Task::addQueue for task 'nulls'.");
    EXPECT_EQ(entries[1].function, "removeQueue");
    EXPECT_EQ(entries[1].message, "Null pointer (queuePtr) passed to Task::removeQueue for task 'nulls'.");
    EXPECT_EQ(entries[2].function, "TerminateTaskMacro");
    EXPECT_EQ(entries[2].message,
              "Null pointer (taskEventQueuePtr) passed to TerminateTaskMacro::TerminateTaskMacro.");
    for (const auto& entry : entries) {
        EXPECT_EQ(entry.name, "NullPtr");
        EXPECT_EQ(entry.severity, Error::ERROR);
    }
}

TEST(TaskOutput, TasksPrintToTheCharacter)
{
    std::ostringstream empty;
    Task::outputTasks(empty);
    EXPECT_EQ(empty.str(), "*** Current tasks are:\n");

    Task beta("beta", nullptr, 4);
    Task alpha("alpha", nullptr, 4);
    ASSERT_TRUE(alpha.start(nullptr, nullptr, false));
    ASSERT_TRUE(alpha.terminate(true));
    std::ostringstream handle;
    handle << alpha.getOsTaskPtr();

    std::ostringstream one;
    one << beta;
    EXPECT_EQ(one.str(), "Name                = 'beta'\n"
                         "Event Queue         = 'beta-TaskEventQueue'\n"
                         "State               = 0\n"
                         "OS Task Pointer     = 0\n"
                         "Exit Status         = 0\n");

    std::ostringstream all;
    Task::outputTasks(all);
    EXPECT_EQ(all.str(), "*** Current tasks are:\n"
                         "Name                = 'alpha'\n"
                         "Event Queue         = 'alpha-TaskEventQueue'\n"
                         "State               = 0\n"
                         "OS Task Pointer     = " +
                             handle.str() +
                             "\n"
                             "Exit Status         = 0\n"
                             "\n" +
                             one.str() + "\n");
}

}  // namespace
