// Timer: ids and registry, start and stop, expiry on the timer thread, teardown.
#include "halvix/timer/Timer.h"

#include "halvix/command/Macro.h"
#include "halvix/error/Error.h"
#include "halvix/error/Report.h"
#include "halvix/os/osTimer.h"
#include "halvix/queue/WriteCommand.h"
#include "halvix/singleton/SingletonT.h"
#include "halvix/src/LabelledLine.h"
#include "halvix/src/ObserverHooks.h"
#include "halvix/task/Task.h"
#include "halvix/timer/DeleteProcessTimeoutMacroCommand.h"
#include "halvix/timer/ProcessTimeoutCommand.h"
#include "halvix/timer/src/ProcessTimeoutMacro.h"
#include "halvix/timer/src/TimerRegistry.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace halvix::timer {

using command::Macro;
using error::Error;

// TIMER_ERROR and WRONG_STATE_ERROR: TimerNames.cpp.
unsigned int Timer::m_lastId = 0;

namespace {

using Clock = std::chrono::steady_clock;

// The longest delay a start can take: milliseconds in 32 bits.
constexpr long MAX_SECONDS_AHEAD = 4294967;

os::osTaskOptions_t timerThreadOptions(const os::osTaskOptions_t* options, Timer* timer,
                                       const std::string& queueName)
{
    os::osTaskOptions_t threadOptions{};
    if (options != nullptr) {
        threadOptions = *options;
    } else {
        threadOptions.priority = os::osTaskGetPriority(os::osTaskSelf());
    }
    threadOptions.reserved = timer;
    const std::string name = "Timer:" + queueName;
    std::strncpy(threadOptions.name, name.c_str(), sizeof(threadOptions.name) - 1);
    threadOptions.name[sizeof(threadOptions.name) - 1] = '\0';
    return threadOptions;
}

void releaseReservation(unsigned int id)
{
    registry::Locked timers;
    timers.map().erase(id);
}

std::string alreadyRunning(unsigned int id)
{
    return "Timer " + std::to_string(id) + " can not be started - timer is already running.";
}

}  // namespace

Timer::Timer(queue::Queue* requestedQueuePtr, const os::osTaskOptions_t* options)
    : queuePtr(requestedQueuePtr), id(0), osTimerPtr(nullptr), state(STOPPED),
      processTimeoutMacroPtr(nullptr), processTimeoutCommandPtr(nullptr), startId(0), repeatRate(0),
      argPtr(nullptr)
{
    {
        // The id is reserved at once, so a timer built on another thread
        // meanwhile cannot take it; a delivery finds no live timer under it yet.
        registry::Locked timers;
        id = nextFreeId(timers.map());
        timers.map()[id] = nullptr;
    }
    if (this->queuePtr == nullptr) {
        if (task::Task* task = task::Task::getTaskPtr("")) {
            this->queuePtr = task->getEventQueuePtr();
        }
    }
    if (this->queuePtr == nullptr) {
        releaseReservation(id);
        HALVIX_THROW("Timer", TIMER_ERROR, Error::ERROR,
                     "No queue specified to receive process timeout macros for timer with ID = " +
                         std::to_string(id) + ".");
    }
    os::osTaskOptions_t threadOptions = timerThreadOptions(options, this, this->queuePtr->getName());
    osTimerPtr = os::osTimerCreate(staticProcessTimeout, &threadOptions);
    processTimeoutMacroPtr = new ProcessTimeoutMacro(this->queuePtr, id);
    processTimeoutCommandPtr = new ProcessTimeoutCommand(this);
    processTimeoutMacroPtr->add(processTimeoutCommandPtr);

    registry::Locked timers;
    timers.map()[id] = this;
}

Timer::~Timer()
{
    cleanUp();
}

unsigned int Timer::getNextId()
{
    registry::Locked timers;
    return nextFreeId(timers.map());
}

unsigned int Timer::nextFreeId(const std::map<unsigned int, Timer*>& timers)
{
    ++m_lastId;
    while (timers.count(m_lastId) != 0) {
        ++m_lastId;
    }
    return m_lastId;
}

ProcessTimeoutMacro& Timer::deliveries() const
{
    return *static_cast<ProcessTimeoutMacro*>(processTimeoutMacroPtr);
}

bool Timer::startRelative(unsigned int ms, unsigned int periodMs, void* userArgPtr)
{
    ProcessTimeoutMacro& record = deliveries();
    internal::UniqueMutexLock lock(record.mutex);
    if (state.load(std::memory_order_relaxed) == RUNNING) {
        lock.unlock();
        HALVIX_REPORT("startRelative", WRONG_STATE_ERROR, Error::ERROR, alreadyRunning(id));
        return false;
    }
    const unsigned int generation = startId.load(std::memory_order_relaxed) + 1;
    startId.store(generation, std::memory_order_release);
    processTimeoutCommandPtr->setStartId(generation);
    this->repeatRate.store(periodMs, std::memory_order_relaxed);
    this->argPtr.store(userArgPtr, std::memory_order_release);
    state.store(RUNNING, std::memory_order_release);
    record.handedOver = 0;  // overruns of an earlier start never count for this one
    // Taken before the OS timer takes its own deadline: the current start
    // can never fire before it.
    dueTime = Clock::now() + std::chrono::milliseconds(ms);
    os::osTimerStart(osTimerPtr, static_cast<long>(ms));
    return true;
}

bool Timer::startAbsolute(long time, unsigned int periodMs, void* userArgPtr)
{
    const long now = static_cast<long>(::time(nullptr));
    if (getState() == RUNNING) {
        HALVIX_REPORT("startAbsolute", WRONG_STATE_ERROR, Error::ERROR, alreadyRunning(id));
        return false;
    }
    const long secondsAhead = std::max(time, now) - now;
    if (secondsAhead > MAX_SECONDS_AHEAD) {
        HALVIX_REPORT("startAbsolute", TIMER_ERROR, Error::ERROR,
                      "Timer " + std::to_string(id) + " can not be started - start time is " +
                          std::to_string(secondsAhead) + " seconds ahead, more than the most of " +
                          std::to_string(MAX_SECONDS_AHEAD) + " seconds.");
        return false;
    }
    return startRelative(static_cast<unsigned int>(1000 * secondsAhead), periodMs, userArgPtr);
}

void Timer::stop()
{
    ProcessTimeoutMacro& record = deliveries();
    internal::UniqueMutexLock lock(record.mutex);
    if (state.load(std::memory_order_relaxed) == STOPPED) {
        lock.unlock();
        HALVIX_REPORT("stop", WRONG_STATE_ERROR, Error::WARNING,
                      "Timer " + std::to_string(id) + " can not be stopped - timer has not been started.");
        return;
    }
    state.store(STOPPED, std::memory_order_release);
    startId.store(startId.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    record.handedOver = 0;
    os::osTimerStop(osTimerPtr);
    // From here every delivery checks against the new generation; one that
    // passed its check before must finish before stop returns.
    waitForDeliveriesElsewhere(lock.native());
}

void Timer::processTimeout()
{
    ProcessTimeoutMacro& record = deliveries();
    {
        // Decided under the delivery lock, so a stop on another thread either
        // comes first (nothing is re-armed) or after (and disarms the re-arm).
        internal::MutexLock lock(record.mutex);
        // A one-shot start takes one expiry: EXPIRED drops any other.
        if (state.load(std::memory_order_relaxed) != RUNNING) {
            return;
        }
        const Clock::time_point now = Clock::now();
        if (now < dueTime) {
            // The expiry of an earlier start, whose callback was already on
            // its way when that start was stopped and this one began. The
            // OS timer is armed for this start; arming it for the time left
            // changes nothing then and covers the case where it is not.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(dueTime - now);
            os::osTimerStart(osTimerPtr, static_cast<long>(left.count()));
            return;
        }
        const bool observed = queue::internal::currentObserverHooks() != nullptr;
        if (observed) {
            // Only this thread writes it.
            fired.store(fired.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        }
        const Clock::time_point due = dueTime;
        const unsigned int rate = repeatRate.load(std::memory_order_relaxed);
        if (rate != 0) {
            dueTime = now + std::chrono::milliseconds(rate);
            os::osTimerStart(osTimerPtr, static_cast<long>(rate));
        } else {
            state.store(EXPIRED, std::memory_order_release);
        }
        if (record.posted) {
            ++record.handedOver;  // the delivery still posted takes it
            record.overruns.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        record.posted = true;
        if (observed) {
            undeliveredDueNs.store(
                std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count(),
                std::memory_order_relaxed);
        }
    }
    if (!postDelivery()) {
        {
            internal::MutexLock lock(record.mutex);
            record.posted = false;  // else every later expiry would wait for it
        }
        HALVIX_REPORT("processTimeout", TIMER_ERROR, Error::ERROR,
                      "Could not write Process Timeout Macro to queue '" + queuePtr->getName() +
                          "' for timer " + std::to_string(id) + " status = 0.");
    }
}

bool Timer::postDelivery()
{
    try {
        return queuePtr->write(processTimeoutMacroPtr, 0);
    } catch (...) {
        // A selection function or an error strategy threw; a write that
        // throws has stored nothing, so the expiry is lost like one that a
        // full queue refused.
        return false;
    }
}

void Timer::staticProcessTimeout(void* osTimer)
{
    os::osTaskOptions_t* options = os::osTaskGetOptions(os::osTimerGetTask(osTimer));
    try {
        static_cast<Timer*>(options->reserved)->processTimeout();
    } catch (...) {
        // An error strategy threw from a report, or a derived processTimeout
        // did: the timer thread serves every later start, so nothing may end
        // it (an exception leaving it would end the process).
    }
}

void Timer::cleanUp()
{
    if (osTimerPtr == nullptr) {
        return;  // already cleaned up
    }
    {
        registry::Locked timers;
        auto entry = timers.map().find(id);
        if (entry != timers.map().end() && entry->second == this) {
            timers.map().erase(entry);
        }
    }
    ProcessTimeoutMacro& record = deliveries();
    {
        internal::UniqueMutexLock lock(record.mutex);
        if (state.load(std::memory_order_relaxed) != STOPPED) {
            lock.unlock();
            stop();
            lock.lock();
        }
        // Also after a stop issued from a handler, which did not wait.
        waitForDeliveriesElsewhere(lock.native());
    }
    os::osTimerDestroy(osTimerPtr);  // joins the timer thread: no expiry runs after this
    osTimerPtr = nullptr;

    if (startId.load(std::memory_order_relaxed) == 0) {
        delete processTimeoutMacroPtr;  // never started, so never queued
    } else {
        // Deliveries of the macro may still wait in the queue: its deletion
        // is queued behind them and done by the consumer. If the queue is
        // full, the deletion runs here at once, which deletes the macro now
        // or leaves it to the delivery that holds it.
        auto* deletion = new Macro("Delete Process Timeout Macro Macro", true, true);
        deletion->add(new queue::WriteCommand(queuePtr, deletion, 0));
        deletion->add(new DeleteProcessTimeoutMacroCommand(id, processTimeoutMacroPtr));
        int status = 1;
        try {
            status = deletion->execute();
        } catch (...) {
            // The write threw (a selection function or an error strategy):
            // nothing was queued, and the run stopped after the write.
        }
        if (status != 0) {
            deletion->execute();  // resumes after the refused write; deletes itself
        }
    }
    processTimeoutMacroPtr = nullptr;
    processTimeoutCommandPtr = nullptr;
}

void Timer::waitForDeliveriesElsewhere(std::unique_lock<std::mutex>& lock)
{
    if (handlersRunningHere > 0) {
        return;  // see the class comment: a handler never waits for another
    }
    ProcessTimeoutMacro& record = deliveries();
    record.mutex.assertHeld();  // `lock` holds it
    while (record.busy != 0) {
        record.idle.wait(lock);
    }
}

uint64_t Timer::getOverruns() const
{
    return deliveries().overruns.load(std::memory_order_relaxed);
}

std::size_t Timer::copyFacts(const unsigned int* after, std::size_t limit, std::vector<Facts>& out)
{
    registry::Locked timers;
    auto entry = after == nullptr ? timers.map().begin() : timers.map().upper_bound(*after);
    std::size_t copied = 0;
    for (; entry != timers.map().end() && copied < limit; ++entry) {
        const Timer* timer = entry->second;
        if (timer == nullptr) {
            continue;  // an id reserved by a constructor still at work
        }
        out.push_back(Facts{timer->id, timer->queuePtr->getName(), timer->getState(),
                            timer->repeatRate.load(std::memory_order_relaxed), timer->getFired(),
                            timer->getOverruns(), timer->lateness.count(), timer->lateness.lastUs(),
                            timer->lateness.maxUs(), timer->lateness.p50Us()});
        ++copied;
    }
    return copied;
}

std::ostream& Timer::output(std::ostream& os) const
{
    using utils::outputLabelledLine;
    // Numbers through to_string: decimal whatever the stream's format.
    outputLabelledLine(os, "ID", std::to_string(id));
    outputLabelledLine(os, "Queue", utils::quoted(queuePtr->getName()));
    outputLabelledLine(os, "OS Timer Pointer", osTimerPtr);
    outputLabelledLine(os, "State?", std::to_string(getState()));
    outputLabelledLine(os, "Process T/O Macro", static_cast<const void*>(processTimeoutMacroPtr));
    outputLabelledLine(os, "Process T/O Command", static_cast<const void*>(processTimeoutCommandPtr));
    outputLabelledLine(os, "Start ID", std::to_string(getStartId()));
    outputLabelledLine(os, "Repeat Rate", std::to_string(repeatRate.load(std::memory_order_relaxed)) + "ms");
    outputLabelledLine(os, "Arg. Pointer", getArgPtr());
    return os;
}

std::ostream& operator<<(std::ostream& os, const Timer& timer)
{
    return timer.output(os);
}

}  // namespace halvix::timer
