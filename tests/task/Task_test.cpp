// Tasks: the order of work and termination, names, wrong states, destruction, output.
#include <halvix/task/Task.h>

#include "TaskTestSupport.h"
#include "common/ErrorRecorder.h"

#include <halvix/error/Error.h>
#include <halvix/os/osTask.h>
#include <halvix/task/TerminateTaskMacro.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace halvix::task;
using namespace halvix::test;
using halvix::error::Error;
using halvix::queue::Queue;

// The name the Task's thread goes by, and the Task it finds by that name.
using Seen = std::pair<std::string, Task*>;
Seen lookFromInside(Task& task)
{
    return onTaskThread<Seen>(task, [] { return Seen(Task::getMyName(), Task::getTaskPtr("")); });
}

// Remembers the argument that reaches run.
class ArgTask : public Task
{
public:
    using Task::Task;
    void* seenArg = nullptr;

protected:
    int run(void* arg) override { return seenArg = arg, Task::run(arg); }
};

TEST(Task, RunsWorkQueuedBeforeTheTerminationRequestInOrderAndNoneAfter)
{
    ErrorRecorder errors;
    ArgTask task("orderly", nullptr, 10);
    Queue* eventQueue = task.getEventQueuePtr();
    EXPECT_EQ(eventQueue->getName(), "orderly-TaskEventQueue");
    EXPECT_EQ(eventQueue->getMaxMacros(), 10u);
    EXPECT_EQ(Queue::getQueuePtr("orderly-TaskEventQueue"), eventQueue);
    EXPECT_EQ(Task::getTaskPtr("orderly"), &task);
    EXPECT_EQ(task.getState(), Task::NOT_RUNNING);
    EXPECT_EQ(task.getOsTaskPtr(), nullptr);

    int arg = 7;
    ASSERT_TRUE(task.start(nullptr, &arg, false));
    EXPECT_EQ(lookFromInside(task), Seen("orderly", &task));
    const halvix::os::osTaskOptions_t* options = halvix::os::osTaskGetOptions(task.getOsTaskPtr());
    EXPECT_STREQ(options->name, "orderly");
    EXPECT_NE(options->joinable, 0);
    EXPECT_EQ(options->reserved, &task);

    Gate gate;
    ASSERT_TRUE(eventQueue->write(gate.macro(), -1));
    ASSERT_TRUE(gate.reached());
    std::vector<int> done;  // written on the Task's thread only, read after it ended
    auto record = [&done](int id) { return [&done, id] { done.push_back(id); }; };
    for (int id = 1; id <= 3; ++id) {
        ASSERT_TRUE(post(task, record(id)));
    }
    EXPECT_TRUE(task.terminate(false));
    ASSERT_TRUE(post(task, record(4)));
    // The loop is held at the gate: the request waits between the macros.
    EXPECT_TRUE(task.waitingToTerminate());
    EXPECT_EQ(task.getState(), Task::WAITING_TO_TERMINATE);
    EXPECT_EQ(eventQueue->size(), 5u);
    gate.open();
    ASSERT_TRUE(finishesWithinBound(task));
    EXPECT_EQ(task.getExitStatus(), Task::SUCCESSFUL);
    EXPECT_EQ(done, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(eventQueue->size(), 1u);  // deleted with the queue
    EXPECT_FALSE(task.waitingToTerminate());
    EXPECT_EQ(task.seenArg, &arg);
    EXPECT_TRUE(errors.entries().empty());
}

TEST(TaskNames, ADuplicateNameAndNullArgumentsAreRefusedWithAReport)
{
    ErrorRecorder errors;
    Task first("dup", nullptr, 4);
    EXPECT_THROW(Task("dup", nullptr, 4), Error);  // the event queue's registry sees the clash first
    EXPECT_EQ(Task::getTaskPtr("dup"), &first);
    EXPECT_EQ(Queue::getQueuePtr("dup-TaskEventQueue"), first.getEventQueuePtr());
    EXPECT_THROW(first.addQueue(nullptr), Error);
    EXPECT_THROW(first.removeQueue(nullptr), Error);
    EXPECT_THROW(TerminateTaskMacro(nullptr), Error);
    EXPECT_EQ(
        errors.reports(),
        (Lines{
            "AlreadyExists/ERROR/Queue: Queue 'dup-TaskEventQueue' is already in the Queue Collection "
            "(i.e., name is not unique).",
            "NullPtr/ERROR/addQueue: Null pointer (queuePtr) passed to Task::addQueue for task 'dup'.",
            "NullPtr/ERROR/removeQueue: Null pointer (queuePtr) passed to Task::removeQueue for task 'dup'.",
            "NullPtr/ERROR/TerminateTaskMacro: Null pointer (taskEventQueuePtr) passed to "
            "TerminateTaskMacro::TerminateTaskMacro."}));
}

TEST(TaskNames, WithoutANameTheThreadGoesByAddressAndANewNumberPerStart)
{
    Task unnamed("", nullptr, 4);
    EXPECT_EQ(unnamed.getEventQueuePtr()->getName(), "-TaskEventQueue");
    char prefix[64];
    std::snprintf(prefix, sizeof(prefix), "Task:%p:ID", static_cast<void*>(&unnamed));
    long ids[2] = {0, 0};
    for (long& id : ids) {
        ASSERT_TRUE(unnamed.start(nullptr, nullptr, false));
        const Seen inside = lookFromInside(unnamed);
        ASSERT_EQ(inside.first.rfind(prefix, 0), 0u) << inside.first;
        id = std::stol(inside.first.substr(std::string(prefix).size()));
        EXPECT_EQ(inside, Seen(prefix + std::to_string(id), nullptr));
        EXPECT_TRUE(unnamed.terminate(true));
    }
    EXPECT_GE(ids[0], 1);
    EXPECT_EQ(ids[1], ids[0] + 1);
}

// The OS task name is cut to 127 characters, so the Task cannot find itself
// by it; a name in the caller's options is replaced.
TEST(TaskNames, AnOverlongNameIsCutForTheThreadButStillFindsTheTask)
{
    const std::string longName(200, 'n');
    Task overlong(longName, nullptr, 4);
    halvix::os::osTaskOptions_t options{};
    std::snprintf(options.name, sizeof(options.name), "callers-name");
    ASSERT_TRUE(overlong.start(&options, nullptr, false));
    EXPECT_EQ(lookFromInside(overlong), Seen(longName.substr(0, 127), nullptr));
    EXPECT_EQ(Task::getTaskPtr(longName), &overlong);
    EXPECT_TRUE(overlong.terminate(true));
}

TEST(TaskState, WrongStatesAndCallsFromTheOwnThreadAreReportedAndAnsweredWithFalse)
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

    // From another Task the message names the caller; from the Task itself,
    // join and a waiting terminate would deadlock, but the request is queued.
    Task never("never", nullptr, 4);
    EXPECT_FALSE(onTaskThread<bool>(idle, [&never, &status] { return never.join(status); }));
    EXPECT_FALSE(onTaskThread<bool>(idle, [&idle] {
        int own = 42;
        const bool joined = idle.join(own) || own != 0;
        return idle.terminate(true) || joined;
    }));
    ASSERT_TRUE(finishesWithinBound(idle));
    EXPECT_EQ(idle.getExitStatus(), Task::SUCCESSFUL);

    const std::string wrong = "WrongTaskState/ERROR/";
    EXPECT_EQ(errors.reports(),
              (Lines{wrong + "terminate: Task 'idle' can not be terminated - task is not running.",
                     wrong + "join: Can not join task '' to task 'idle' - task is not running.",
                     wrong + "setPriority: Can not set priority of task 'idle' to 0 - task is not running.",
                     wrong + "getPriority: Can not get priority of task 'idle' - task is not running.",
                     wrong + "start: Task 'idle' can not be started - task is already running.",
                     wrong + "join: Can not join task 'idle' to task 'never' - task is not running.",
                     "TaskError/ERROR/join: Can not join task 'idle' to task 'idle' - called on its own "
                     "thread of execution.",
                     "TaskError/ERROR/terminate: Can not wait for the termination of task 'idle' - called "
                     "on its own thread of execution; the termination request is queued."}));
}

TEST(TaskLifecycle, AFullEventQueueRefusesTheRequestButDestroyingTheTaskStillEndsIt)
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
        ASSERT_TRUE(post(*task, [&lateWorkDone] { lateWorkDone = true; }));
        const Lines refused = {
            "QueueWriteError/ERROR/write: Could not write macro 'TerminateTaskMacro' to "
            "queue 'doomed-TaskEventQueue'.",
            "TaskError/ERROR/terminate: Could not terminate task 'doomed' - unknown error."};
        if (slots == 1) {
            EXPECT_FALSE(task->terminate(true));  // returns at once: the write does not wait
            EXPECT_EQ(task->getState(), Task::RUNNING);
            EXPECT_EQ(errors.reports(), refused);
        }
        // Opens the gate while the destructor waits (the event queue lives
        // until the thread has ended): once the request is queued behind the
        // late work, or once the full queue has refused it again.
        Queue* events = task->getEventQueuePtr();
        std::thread opener([events, &errors, &gate] {
            eventually([&] { return events->size() == 2 || errors.entries().size() == 4; });
            gate.open();
        });
        task.reset();  // returns once the loop has done the late work and read the request
        opener.join();
        EXPECT_TRUE(lateWorkDone);
        EXPECT_EQ(Task::getTaskPtr("doomed"), nullptr);
        EXPECT_EQ(errors.reports(),
                  slots == 1 ? (Lines{refused[0], refused[1], refused[0], refused[1]}) : Lines{});
    }
}

TEST(TaskLifecycle, DestructorReturnsWhenTheThreadEndsByItselfBehindAFullQueue)
{
    ErrorRecorder errors;
    auto task = std::make_unique<Task>("ends-alone", nullptr, 1);
    Queue* events = task->getEventQueuePtr();
    ASSERT_TRUE(task->start(nullptr, nullptr, false));
    // Behind the entry gate, a macro fills the one slot again and throws:
    // the thread ends and the queue stays full.
    halvix::command::Macro stuck("stuck", false, false);
    halvix::command::Macro thrower("thrower", false, false);
    thrower.add(new FunctionCommand([events, &stuck]() -> int {
        events->write(&stuck, 0);
        throw std::runtime_error("gone");
    }));
    Gate entry;
    ASSERT_TRUE(events->write(entry.macro(), 0));
    ASSERT_TRUE(entry.reached());
    ASSERT_TRUE(events->write(&thrower, 0));
    auto destroyed = std::async(std::launch::async, [&task] {
        task.reset();
        halvix::os::osTaskDetach();  // the join gave this thread a task record
    });
    // The destructor's request was refused; now the thread ends by itself.
    ASSERT_TRUE(eventually([&errors] { return errors.entries().size() >= 2; }));
    entry.open();
    ASSERT_TRUE(readyWithinBound(destroyed));
    EXPECT_EQ(errors.reports().back(),
              "TaskError/CRITICAL/go: Exception:\ngone\ncaught by task 'ends-alone' - thread of execution is "
              "exiting.");
}

TEST(TaskLifecycle, AMacroWritingToItsOwnFullQueueWithoutLimitFailsInsteadOfWaitingForItself)
{
    ErrorRecorder errors;
    Task task("self-writer", nullptr, 1);
    ASSERT_TRUE(task.start(nullptr, nullptr, false));
    halvix::command::Macro filler("filler", false, false);
    std::promise<bool> written;
    Queue* events = task.getEventQueuePtr();
    ASSERT_TRUE(events->write(macroOf("writer",
                                      [events, &filler, &written] {
                                          ASSERT_TRUE(events->write(&filler, -1));  // the slot is free
                                          written.set_value(events->write(&filler, -1));
                                      }),
                              -1));
    auto result = written.get_future();
    ASSERT_TRUE(readyWithinBound(result));
    EXPECT_FALSE(result.get());
    ASSERT_TRUE(eventually([events] { return events->size() == 0; }));  // the loop went on
    EXPECT_TRUE(task.terminate(true));
    EXPECT_EQ(errors.reports(), Lines{"QueueWriteError/ERROR/write: Could not write macro 'filler' to queue "
                                      "'self-writer-TaskEventQueue'."});
}

TEST(TaskLifecycle, ADestroyedPoolWorkerNoLongerReceivesWorkAndAPoolDestroyedFirstIsNotTouched)
{
    ErrorRecorder errors;
    auto pool = std::make_unique<Queue>("pool", 4);
    auto first = std::make_unique<Task>("worker-1", pool.get(), 4);
    Task second("worker-2", nullptr, 4);
    second.addQueue(pool.get());
    ASSERT_TRUE(first->start(nullptr, nullptr, false));
    ASSERT_TRUE(second.start(nullptr, nullptr, false));
    first.reset();
    EXPECT_EQ(pool->getNumQueuesToForwardTo(), 1u);
    std::promise<std::string> ranOn;
    ASSERT_TRUE(pool->write(macroOf("job", [&ranOn] { ranOn.set_value(Task::getMyName()); }), 0));
    auto name = ranOn.get_future();
    ASSERT_TRUE(readyWithinBound(name));
    EXPECT_EQ(name.get(), "worker-2");
    pool.reset();  // the worker, destroyed later, must not touch it
    EXPECT_TRUE(second.terminate(true));
    EXPECT_TRUE(errors.entries().empty());
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
    EXPECT_EQ(all.str(), "*** Current tasks are:\nName                = 'alpha'\n"
                         "Event Queue         = 'alpha-TaskEventQueue'\nState               = 0\n"
                         "OS Task Pointer     = " +
                             handle.str() + "\nExit Status         = 0\n\n" + one.str() + "\n");
}

// Looks itself up while it is printed, as a derived Task may.
class LookingTask : public Task
{
public:
    using Task::Task;
    std::ostream& output(std::ostream& os) const override
    {
        return Task::output(os) << "sees " << Task::getTaskPtr(getName())->getName() << std::endl;
    }
};

TEST(TaskOutput, AnOutputThatLooksTasksUpDoesNotDeadlockThePrinter)
{
    LookingTask looking("looking", nullptr, 2);
    auto printed = std::async(std::launch::async, [] {
        std::ostringstream all;
        Task::outputTasks(all);
        return all.str();
    });
    ASSERT_TRUE(readyWithinBound(printed));
    EXPECT_NE(printed.get().find("sees looking\n"), std::string::npos);
}

}  // namespace
