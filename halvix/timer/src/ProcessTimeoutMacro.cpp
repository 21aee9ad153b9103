// ProcessTimeoutMacro: a timer's delivery, its overruns and its hand-over at destruction.
#include "halvix/timer/src/ProcessTimeoutMacro.h"

#include "halvix/error/Error.h"
#include "halvix/error/Report.h"
#include "halvix/timer/Timer.h"

#include <string>

namespace halvix::timer {

using error::Error;

thread_local int handlersRunningHere = 0;

ProcessTimeoutMacro::ProcessTimeoutMacro(queue::Queue* deliveryQueuePtr, unsigned int ownerId)
    : Macro("Process Timeout Macro", false, false), queuePtr(deliveryQueuePtr), timerId(ownerId)
{
}

ProcessTimeoutMacro::~ProcessTimeoutMacro() = default;

void ProcessTimeoutMacro::release()
{
    {
        internal::MutexLock lock(mutex);
        if (posted) {
            orphaned = true;  // the delivery deletes it as it ends
            return;
        }
    }
    delete this;
}

int ProcessTimeoutMacro::myExecute()
{
    {
        internal::MutexLock lock(mutex);
        ++busy;
    }
    struct Finish
    {
        ProcessTimeoutMacro* macro;
        ~Finish() { macro->finish(); }
    } finish{this};
    return Macro::myExecute();
}

void ProcessTimeoutMacro::finish()
{
    internal::UniqueMutexLock lock(mutex);
    bool reposted = false;
    bool lost = false;
    if (handedOver > 0) {
        // The next overrun goes behind whatever was queued meanwhile. The
        // write happens while this delivery still counts as busy, so a Timer
        // being destroyed (and its queue after it) waits for it.
        --handedOver;
        lock.unlock();
        try {
            reposted = queuePtr->write(this, 0);
        } catch (...) {
            // A selection function or an error strategy threw: nothing was
            // stored, and this runs in a destructor, where it must not escape.
        }
        lock.lock();
        if (!reposted) {
            handedOver = 0;  // the queue is full: those expiries are lost
            lost = true;
        }
    }
    if (!reposted) {
        posted = false;
    }
    const bool deleteNow = !reposted && orphaned;
    // Taken before the delivery stops counting as busy: from then on the
    // Timer, its queue and (once released) this macro may go.
    const std::string lostMessage = lost ? "Could not write Process Timeout Macro to queue '" +
                                               queuePtr->getName() + "' for timer " +
                                               std::to_string(timerId) + " status = 0."
                                         : std::string();
    --busy;
    idle.notify_all();
    lock.unlock();
    if (lost) {
        try {
            HALVIX_REPORT("processTimeout", Timer::TIMER_ERROR, Error::ERROR, lostMessage);
        } catch (...) {
            // A strategy threw; this may run while handleTimeout's own
            // exception unwinds, where a second one would end the process.
        }
    }
    if (deleteNow) {
        delete this;  // released while it was posted; nothing of it is used after this
    }
}

}  // namespace halvix::timer
