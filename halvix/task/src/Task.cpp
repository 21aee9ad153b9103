// Task: construction, registry, thread control seen from the controlling
// thread, printing. What runs on the Task's own thread is in TaskLoop.cpp.
#include "halvix/task/Task.h"

#include "halvix/error/Error.h"
#include "halvix/error/Report.h"
#include "halvix/src/LabelledLine.h"
#include "halvix/src/RegistryPrinting.h"
#include "halvix/task/TerminateTaskMacro.h"
#include "halvix/task/src/TaskCollection.h"
#include "halvix/task/src/ThreadTask.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace halvix::task {

using error::Error;

const int Task::SUCCESSFUL = 0;
const int Task::FAILURE = 1;
// TASK_ERROR and WRONG_STATE_ERROR: TaskNames.cpp.

namespace {

// Numbers the OS task names of Tasks without a name. Atomic because Tasks
// are started from any thread; relaxed, as only the uniqueness of each value
// matters.
std::atomic<long> taskCounter{0};

using Printing = singleton::RegistryPrinting<collection::Map>;

// How long the destructor of a Task whose event queue stays full waits for a
// slot at a time before it looks again whether the thread is still alive.
constexpr int SLOT_WAIT_MS = 10;

// Removes the entry of `name` if it is this Task's (a failed construction
// never entered it; a clashing Task must not remove the first one's entry),
// once no printer is at work.
void leaveCollection(const std::string& name, const Task* task)
{
    Printing::leave(name, const_cast<Task*>(task));
}

}  // namespace

Task::Task(const std::string& taskName, queue::Queue* queuePtr, unsigned long maxMacros)
    : name(taskName), eventQueue(taskName + "-TaskEventQueue", maxMacros), autoDelete(false),
      state(NOT_RUNNING), osTaskPtr(nullptr), exitStatus(0)
{
    // Look-up and entry under one lock, so two threads building Tasks of the
    // same name cannot both succeed.
    bool registered;
    {
        collection::Locked tasks;
        registered = tasks.map().emplace(taskName, this).second;
    }
    if (!registered) {
        HALVIX_THROW("Task", Error::ALREADY_EXISTS, Error::ERROR,
                     "Task '" + taskName + "' is already in the Task Collection (i.e., name is not unique).");
    }
    if (queuePtr != nullptr) {
        try {
            addQueue(queuePtr);
        } catch (...) {
            // A strategy may throw from the forwarding warning; the Task then
            // does not exist and must not stay registered.
            leaveCollection(taskName, this);
            throw;
        }
    }
}

Task::~Task()
{
    cleanUp();
}

Task* Task::getTaskPtr(const std::string& name)
{
    const std::string key = name.empty() ? getMyName() : name;
    collection::Locked tasks;
    auto entry = tasks.map().find(key);
    return entry == tasks.map().end() ? nullptr : entry->second;
}

std::string Task::getMyName()
{
    const os::osTaskOptions_t* options = os::osTaskGetOptions(os::osTaskSelf());
    if (options == nullptr) {
        return std::string();
    }
    return std::string(options->name, ::strnlen(options->name, sizeof(options->name)));
}

std::ostream& Task::outputTasks(std::ostream& os)
{
    os << "*** Current tasks are:" << std::endl;
    // Printed without the collection's lock (a derived output() may look
    // Tasks up); no Task printed here is destroyed meanwhile.
    Printing::Printer printer;
    for (const Task* task : printer.entries()) {
        task->output(os) << std::endl;
    }
    return os;
}

bool Task::start(const os::osTaskOptions_t* options, void* arg, bool autoDeleteTask)
{
    if (isThreadOfExecutionRunning()) {
        HALVIX_REPORT("start", WRONG_STATE_ERROR, Error::ERROR,
                      "Task '" + name + "' can not be started - task is already running.");
        return false;
    }
    os::osTaskOptions_t taskOptions;
    std::memset(&taskOptions, 0, sizeof(taskOptions));
    if (options != nullptr) {
        taskOptions = *options;
    }
    // The Task name replaces whatever name the caller put there.
    std::strncpy(taskOptions.name, name.c_str(), sizeof(taskOptions.name) - 1);
    taskOptions.name[sizeof(taskOptions.name) - 1] = '\0';
    if (taskOptions.name[0] == '\0') {
        const long id = taskCounter.fetch_add(1, std::memory_order_relaxed) + 1;
        std::snprintf(taskOptions.name, sizeof(taskOptions.name), "Task:%p:ID%ld", static_cast<void*>(this),
                      id);
    }
    taskOptions.joinable = autoDeleteTask ? 0 : 1;
    taskOptions.reserved = this;

    // The previous run's thread has ended (the Task is not running); its
    // joinable record is released here, joining it if nobody did.
    if (void* previous = osTaskPtr.exchange(nullptr, std::memory_order_acquire)) {
        os::osTaskDestroy(previous);
    }

    // Written before the thread exists: creating it publishes them.
    state.store(RUNNING, std::memory_order_relaxed);
    autoDelete = autoDeleteTask;
    exitStatus.store(SUCCESSFUL, std::memory_order_relaxed);

    // The handle is known from the moment start returns. An autoDelete
    // Task's thread waits until this store before it runs anything (staticGo),
    // since it may delete the Task as soon as it runs: this store is the last
    // touch of the Task here.
    osTaskPtr.store(os::osTaskCreate(staticGo, &taskOptions, arg), std::memory_order_release);
    return true;
}

std::string Task::reasonJoinIsImpossible() const
{
    if (taskOfThisThread == this) {
        return "called on its own thread of execution";
    }
    if (autoDelete) {
        return "task was started with auto delete";
    }
    return std::string();
}

bool Task::terminate(bool waitForTermination)
{
    // RUNNING becomes WAITING_TO_TERMINATE; a second request while waiting is
    // queued as well. The exchange cannot revive a thread that has just
    // marked itself NOT_RUNNING. Relaxed: the request itself travels through
    // the event queue, which orders everything the thread needs.
    State expected = RUNNING;
    if (!state.compare_exchange_strong(expected, WAITING_TO_TERMINATE, std::memory_order_relaxed) &&
        expected == NOT_RUNNING) {
        HALVIX_REPORT("terminate", WRONG_STATE_ERROR, Error::ERROR,
                      "Task '" + name + "' can not be terminated - task is not running.");
        return false;
    }
    // Taken before the request is queued: an autoDelete Task may be deleted
    // by its thread as soon as the request is read.
    const std::string waitImpossible = waitForTermination ? reasonJoinIsImpossible() : std::string();
    const std::string taskName = name;
    void* handle = osTaskPtr.load(std::memory_order_acquire);

    auto* request = new TerminateTaskMacro(&eventQueue);
    if (request->execute() != 0) {
        // The write failed and the request paused at it: still ours.
        delete request;
        expected = WAITING_TO_TERMINATE;
        state.compare_exchange_strong(expected, RUNNING, std::memory_order_relaxed);
        HALVIX_REPORT("terminate", TASK_ERROR, Error::ERROR,
                      "Could not terminate task '" + taskName + "' - unknown error.");
        return false;
    }
    if (!waitForTermination) {
        return true;
    }
    if (!waitImpossible.empty()) {
        HALVIX_REPORT("terminate", TASK_ERROR, Error::ERROR,
                      "Can not wait for the termination of task '" + taskName + "' - " + waitImpossible +
                          "; the termination request is queued.");
        return false;
    }
    // Waits on the OS task itself: checking the state first and then calling
    // join() would race with the thread's end and report a false "not
    // running". A joinable record outlives its thread until it is destroyed,
    // and a record joined before answers at once.
    os::osTaskJoin(handle);
    return true;
}

bool Task::waitingToTerminate()
{
    return state.load(std::memory_order_acquire) == WAITING_TO_TERMINATE;
}

bool Task::join(int& exitStatusOut)
{
    exitStatusOut = SUCCESSFUL;
    if (!isThreadOfExecutionRunning()) {
        HALVIX_REPORT("join", WRONG_STATE_ERROR, Error::ERROR,
                      "Can not join task '" + getMyName() + "' to task '" + name +
                          "' - task is not running.");
        return false;
    }
    const std::string impossible = reasonJoinIsImpossible();
    if (!impossible.empty()) {
        HALVIX_REPORT("join", TASK_ERROR, Error::ERROR,
                      "Can not join task '" + getMyName() + "' to task '" + name + "' - " + impossible + ".");
        return false;
    }
    // The thread's result is its exit status, widened to a pointer.
    exitStatusOut = static_cast<int>(
        reinterpret_cast<intptr_t>(os::osTaskJoin(osTaskPtr.load(std::memory_order_acquire))));
    return true;
}

bool Task::setPriority(const int& priority)
{
    // An autoDelete Task's handle appears when its thread begins; until then
    // there is nothing to set.
    void* handle = osTaskPtr.load(std::memory_order_acquire);
    if (!isThreadOfExecutionRunning() || handle == nullptr) {
        HALVIX_REPORT("setPriority", WRONG_STATE_ERROR, Error::ERROR,
                      "Can not set priority of task '" + name + "' to " + std::to_string(priority) +
                          " - task is not running.");
        return false;
    }
    os::osTaskSetPriority(handle, priority);
    return true;
}

bool Task::getPriority(int& priority) const
{
    void* handle = osTaskPtr.load(std::memory_order_acquire);
    if (!isThreadOfExecutionRunning() || handle == nullptr) {
        HALVIX_REPORT("getPriority", WRONG_STATE_ERROR, Error::ERROR,
                      "Can not get priority of task '" + name + "' - task is not running.");
        return false;
    }
    priority = os::osTaskGetPriority(handle);
    return true;
}

void Task::addQueue(queue::Queue* queuePtr)
{
    if (queuePtr == nullptr) {
        HALVIX_THROW("addQueue", Error::NULL_PTR, Error::ERROR,
                     "Null pointer (queuePtr) passed to Task::addQueue for task '" + name + "'.");
    }
    queuePtr->startForwardingTo(&eventQueue);
}

void Task::removeQueue(queue::Queue* queuePtr)
{
    if (queuePtr == nullptr) {
        HALVIX_THROW("removeQueue", Error::NULL_PTR, Error::ERROR,
                     "Null pointer (queuePtr) passed to Task::removeQueue for task '" + name + "'.");
    }
    queuePtr->stopForwardingTo(&eventQueue);
}

bool Task::setSchedulingPolicy(os::osSchedPolicy_t policy)
{
    return os::osSetSchedPolicy(policy);
}

void Task::goToSleep(unsigned long ms)
{
    os::osTaskSleep(nullptr, static_cast<long>(ms));
}

void Task::yield()
{
    goToSleep(0);
}

void Task::threadOfExecutionFinished(int status)
{
    exitStatus.store(status, std::memory_order_relaxed);
    // Release: whoever sees NOT_RUNNING (acquire) sees the exit status and
    // everything the thread did.
    state.store(NOT_RUNNING, std::memory_order_release);
}

void Task::cleanUp()
{
    leaveCollection(name, this);
    // Forwarding into the event queue stops first, while the thread still
    // runs: what was forwarded before is done before the termination
    // request, and nothing arrives behind it. Once the thread has ended,
    // nobody reads the queue, and a writer waiting for room in it only
    // finishes if the queue is drained.
    eventQueue.stopForwardingFromEverySource([this] { return !isThreadOfExecutionRunning(); });
    if (isThreadOfExecutionRunning() && !terminate(true) && reasonJoinIsImpossible().empty()) {
        waitForThreadBehindFullQueue();
    }
    void* handle = osTaskPtr.exchange(nullptr, std::memory_order_acquire);
    // On the Task's own thread (an autoDelete Task deleting itself) the handle
    // is only forgotten: the detached thread's record is released by the OS
    // layer when the entry returns, and a thread must not destroy itself.
    if (handle != nullptr && !autoDelete && taskOfThisThread != this) {
        os::osTaskDestroy(handle);
    }
}

void Task::waitForThreadBehindFullQueue()
{
    // terminate has reported that the event queue refused the request. The
    // thread must end before the queue goes: the request waits for a slot
    // while the thread lives. A thread that ends by itself meanwhile (a macro
    // threw) reads nothing more, so it is joined, not asked again.
    auto* request = new TerminateTaskMacro(&eventQueue);
    bool queued = false;
    while (!queued && isThreadOfExecutionRunning()) {
        queued = eventQueue.storeQuietly(request, SLOT_WAIT_MS);
    }
    if (!queued) {
        delete request;
    }
    // Joins at once if the thread has ended; a request it left unread is
    // deleted with the queue.
    os::osTaskJoin(osTaskPtr.load(std::memory_order_acquire));
}

std::ostream& Task::output(std::ostream& os) const
{
    using utils::outputLabelledLine;
    // Numbers through to_string: decimal whatever the stream's format.
    outputLabelledLine(os, "Name", utils::quoted(name));
    outputLabelledLine(os, "Event Queue", utils::quoted(eventQueue.getName()));
    outputLabelledLine(os, "State", std::to_string(static_cast<int>(state.load(std::memory_order_acquire))));
    outputLabelledLine(os, "OS Task Pointer", osTaskPtr.load(std::memory_order_acquire));
    outputLabelledLine(os, "Exit Status", std::to_string(exitStatus.load(std::memory_order_relaxed)));
    return os;
}

std::size_t Task::copyFacts(const std::string* after, std::size_t limit, std::vector<Facts>& out)
{
    collection::Locked tasks;
    auto entry = after == nullptr ? tasks.map().begin() : tasks.map().upper_bound(*after);
    std::size_t copied = 0;
    for (; entry != tasks.map().end() && copied < limit; ++entry, ++copied) {
        Task& task = *entry->second;
        Facts facts{task.name,
                    task.getState(),
                    task.eventQueue.getName(),
                    task.eventQueue.size(),
                    task.eventQueue.getHighWater(),
                    task.getExecuted(),
                    task.getFailed(),
                    false,
                    std::string(),
                    0};
        facts.busy = task.inProgress.read(facts.current, facts.currentStart);
        out.push_back(std::move(facts));
    }
    return copied;
}

std::ostream& operator<<(std::ostream& os, const Task& task)
{
    return task.output(os);
}

}  // namespace halvix::task
