// Task: what runs on the Task's own thread of execution - the OS entry
// (staticGo), the frame that runs the hooks and reports every escaping
// exception (go), and the default event loop (run).
#include "halvix/task/Task.h"

#include "halvix/error/Error.h"
#include "halvix/error/Report.h"
#include "halvix/src/ObserverHooks.h"
#include "halvix/task/TerminateTaskMacro.h"
#include "halvix/task/src/ThreadTask.h"

#include <cstdint>
#include <exception>
#include <sstream>
#include <thread>

namespace halvix::task {

using command::Macro;
using error::Error;

thread_local Task* taskOfThisThread = nullptr;

namespace {

void* statusAsResult(int status)
{
    // The OS layer hands a thread's result on as a pointer.
    return reinterpret_cast<void*>(static_cast<intptr_t>(status));  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

void* Task::staticGo(void* arg)
{
    void* self = os::osTaskSelf();
    os::osTaskOptions_t* options = self == nullptr ? nullptr : os::osTaskGetOptions(self);
    Task* task = options == nullptr ? nullptr : static_cast<Task*>(options->reserved);
    if (task == nullptr) {
        HALVIX_REPORT("staticGo", TASK_ERROR, Error::ERROR, "Could not get task entry for the current task.");
        return statusAsResult(FAILURE);
    }
    // Read before the Task is marked finished: from then on a joinable Task
    // may be restarted or destroyed by its controlling thread.
    const bool deleteWhenDone = task->autoDelete;
    if (deleteWhenDone) {
        // The thread may delete the Task when it ends, so it runs nothing
        // before start has stored the handle, its last touch of the Task: a
        // few instructions after the thread was created.
        while (task->osTaskPtr.load(std::memory_order_acquire) != self) {
            std::this_thread::yield();
        }
    } else {
        // Stored here too, so the handle is right even before osTaskCreate
        // has returned to start.
        task->osTaskPtr.store(self, std::memory_order_release);
    }
    taskOfThisThread = task;
    task->eventQueue.setSoleReader(std::this_thread::get_id());

    const int status = task->go(arg);
    task->eventQueue.setSoleReader(std::thread::id());
    task->threadOfExecutionFinished(status);
    if (deleteWhenDone) {
        // Not running any more, so its cleanUp sends no request; on this
        // thread it forgets the OS handle instead of destroying it.
        delete task;
    }
    taskOfThisThread = nullptr;
    return statusAsResult(status);
}

int Task::go(void* arg)
{
    int status = SUCCESSFUL;
    try {
        initialize();
        status = run(arg);
    } catch (...) {
        status = FAILURE;
        reportEscapedException();
    }
    try {
        finalize(status);
    } catch (...) {
        reportEscapedException();  // the exit status stays as it was
    }
    return status;
}

void Task::reportEscapedException() const
{
    std::ostringstream message;
    try {
        throw;
    } catch (const Error& caught) {
        message << "Exception:" << std::endl
                << caught << std::endl
                << "caught by task '" << name << "' - thread of execution is exiting.";
    } catch (const std::exception& caught) {
        message << "Exception:" << std::endl
                << caught.what() << std::endl
                << "caught by task '" << name << "' - thread of execution is exiting.";
    } catch (...) {
        message << "Unknown exception caught by task '" << name << "' - thread of execution is exiting.";
    }
    try {
        HALVIX_REPORT("go", TASK_ERROR, Error::CRITICAL, message.str());
    } catch (...) {
        // A strategy threw instead of reporting. Nothing may leave the
        // thread's entry (the process would terminate), and the exit status
        // already tells the failure.
    }
}

int Task::run(void*)
{
    // When the last macro ended (observed ticks), while a timeline records:
    // a macro already waiting then begins where that one ended, so that a
    // busy Task reads the clock once a macro rather than twice. 0 otherwise.
    int64_t lastEnd = 0;
    for (;;) {
        Macro* macro = nullptr;
        int64_t begin = 0;
        if (lastEnd != 0 && eventQueue.read(macro, 0)) {
            begin = lastEnd;
        } else if (!eventQueue.read(macro, -1)) {
            HALVIX_REPORT("run", TASK_ERROR, Error::ERROR,
                          "Could not read from internal Event Queue '" + eventQueue.getName() +
                              "' for task '" + name + "' - terminating task.");
            return FAILURE;
        }
        if (dynamic_cast<TerminateTaskMacro*>(macro) != nullptr) {
            delete macro;  // the request is consumed, not executed
            return SUCCESSFUL;
        }
        // The status is the macro's business; an auto-delete macro has
        // deleted itself by the time execute returns.
        const queue::internal::ObserverHooks* hooks = queue::internal::currentObserverHooks();
        if (hooks == nullptr) {
            macro->execute();
            lastEnd = 0;
        } else {
            lastEnd = executeObserved(macro, *hooks, begin);
        }
    }
}

int64_t Task::executeObserved(Macro* macro, const queue::internal::ObserverHooks& hooks, int64_t begin)
{
    if (begin == 0) {
        begin = queue::internal::observedTicks(hooks);
    }
    // The name is copied before the run: an auto-delete macro is gone after it.
    inProgress.begin(macro->getName(), begin);
    struct Idle
    {
        MacroInProgress& inProgress;
        ~Idle() { inProgress.end(); }  // also when the macro throws
    } idle{inProgress};
    const int status = macro->execute();
    int64_t end = 0;
    if (hooks.macroRan != nullptr) {
        end = queue::internal::observedTicks(hooks);
        hooks.macroRan(name, inProgress.ownName(), begin, end, status);
    }
    // Only this thread writes the counters. Counted after the event is
    // recorded, so a macro counted as executed is in the timeline too.
    if (status != 0) {
        failed.store(failed.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    executed.store(executed.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    return end;
}

void Task::initialize() {}

void Task::finalize(const int&) {}

}  // namespace halvix::task
