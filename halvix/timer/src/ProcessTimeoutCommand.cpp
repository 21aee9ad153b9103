// ProcessTimeoutCommand: calls handleTimeout for a current delivery, drops a stale one.
#include "halvix/timer/ProcessTimeoutCommand.h"

#include "halvix/error/Error.h"
#include "halvix/error/Report.h"
#include "halvix/src/ObserverHooks.h"
#include "halvix/task/Task.h"
#include "halvix/timer/Timer.h"
#include "halvix/timer/src/ProcessTimeoutMacro.h"
#include "halvix/timer/src/TimerRegistry.h"

namespace halvix::timer {

using error::Error;

ProcessTimeoutCommand::ProcessTimeoutCommand(Timer* timer)
    : Command("ProcessTimeoutCommand"), timerPtr(timer), timerId(0), startId(0)
{
    if (timer == nullptr) {
        HALVIX_THROW("ProcessTimeoutCommand", Error::NULL_PTR, Error::ERROR,
                     "Null pointer (timerPtr) passed to ProcessTimeoutCommand::ProcessTimeoutCommand.");
    }
    timerId = timer->getId();
}

ProcessTimeoutCommand::~ProcessTimeoutCommand() = default;

void ProcessTimeoutCommand::setStartId(unsigned int generation)
{
    this->startId.store(generation, std::memory_order_release);
}

bool ProcessTimeoutCommand::stopMacro() const
{
    return true;
}

int ProcessTimeoutCommand::myExecute()
{
    const queue::internal::ObserverHooks* hooks = queue::internal::currentObserverHooks();
    int64_t lateNs = -1;
    {
        // The timer is dereferenced only while the registry shows it live;
        // its destruction waits for this delivery (its macro counts it as
        // busy), unless it is destroyed from a handler on another thread.
        registry::Locked timers;
        auto entry = timers.map().find(timerId);
        if (entry == timers.map().end() || entry->second != timerPtr) {
            return task::Task::FAILURE;  // destroyed, or the id now names another timer
        }
        timerPtr->getProcessTimeoutMacroPtr()->reset();  // ready for the next expiry
        // The delivery counted as busy before this check: a stop either
        // raised the generation before (dropped here) or waits for it.
        if (startId.load(std::memory_order_acquire) != timerPtr->getStartId()) {
            return task::Task::FAILURE;  // stopped since this start
        }
        if (hooks != nullptr) {
            const int64_t dueNs = timerPtr->undeliveredDueNs.load(std::memory_order_relaxed);
            if (dueNs != 0) {  // zero: posted before observation began
                const int64_t nowNs = queue::internal::monotonicNowNs();
                lateNs = nowNs > dueNs ? nowNs - dueNs : 0;
                timerPtr->lateness.add(lateNs / 1000);
                // An overrun handed over next was due at least one period later.
                const int64_t periodNs =
                    int64_t{timerPtr->repeatRate.load(std::memory_order_relaxed)} * 1000000;
                timerPtr->undeliveredDueNs.store(dueNs + periodNs, std::memory_order_relaxed);
            }
        }
    }
    // Recorded outside the registry's lock, which every delivery takes.
    if (lateNs >= 0 && hooks->timerDelivered != nullptr) {
        hooks->timerDelivered(timerId, lateNs);
    }
    struct InHandler
    {
        InHandler() { ++handlersRunningHere; }
        ~InHandler() { --handlersRunningHere; }
    } inHandler;
    timerPtr->handleTimeout();
    return task::Task::SUCCESSFUL;
}

}  // namespace halvix::timer
