// halvix/timer/Timer.h - timers whose expiries run on the thread that owns the work.
//
// A Timer turns an expiry of its OS timer (which fires on a timer thread of its
// own) into a message: it writes its "Process Timeout Macro" into a queue, and
// the application's handleTimeout() runs later on whatever thread executes that
// queue's macros - normally the Task whose event queue it is. Timeouts are
// thereby serialised with the rest of that Task's work and never run on the
// timer thread.
//
// Timer is abstract: derive from it and supply handleTimeout():
//
//     class Heartbeat : public halvix::timer::Timer {
//     public:
//         Heartbeat() : Timer(nullptr, nullptr) {}   // on a Task's thread: its event queue
//         ~Heartbeat() override { cleanUp(); }       // stop deliveries before this part goes
//         void handleTimeout() override { ... }      // runs on the Task's thread
//     };
//     heartbeat.startRelative(200, 200, nullptr);     // first after 200 ms, then every 200 ms
//
// Every Timer owns a thread (its OS timer's) for its whole life, started or
// not: about 10 KiB resident and 130 KiB of address space each, as
// bench/README.md measures with 1,000 idle timers. A thousand timers are a
// thousand threads: a service that needs many timeouts keeps a few Timers
// and its own table of deadlines.
//
// Each Timer has a process-wide unique id and is registered under it, so a
// delivery that arrives after its Timer was stopped (and not started again)
// or destroyed is recognised and dropped: handleTimeout is called only for a
// current timeout.
//
// Contract:
//   - States: STOPPED (new or stopped), RUNNING (armed; a repeating timer stays
//     RUNNING when it fires), EXPIRED (a one-shot timer fired). A start while
//     RUNNING and a stop while STOPPED are refused with a report.
//   - Each expiry belongs to the start (or re-arm) that armed it: an expiry
//     of an earlier start that comes in late, after a stop and a new start,
//     is dropped, so it never cuts the new start's delay short. A one-shot
//     start takes at most one expiry.
//   - One timer's deliveries never run at the same time, also when its queue
//     forwards to several consumers: the macro is in the queue at most once.
//     An expiry that finds the previous delivery still waiting or running is
//     an overrun; it is handed to that delivery, which posts the macro again
//     behind the queue when it ends, so every expiry still gives one
//     handleTimeout call (unless the timer is stopped first).
//   - stop() and destruction, called on a thread that is not inside a
//     handleTimeout, wait for a handleTimeout of this timer that is running on
//     another thread: after stop() returns there, handleTimeout is not called
//     again until the next start. Like del_timer_sync in the Linux kernel,
//     their caller must therefore not hold a lock that handleTimeout takes.
//   - stop() and destruction called from inside any handleTimeout (of this
//     timer or another, nested or not) do not wait: two handlers stopping each
//     other's timers on two threads would wait for each other for ever. A
//     handler that stops another timer must therefore allow for one last call
//     of that timer's handleTimeout already running on another thread, and a
//     handler may destroy a timer only if that timer is not delivered on
//     another thread (the same consumer, or stopped and waited for elsewhere).
//     handleTimeout may stop, restart or destroy its own timer.
//   - Writes into the queue never wait: a full queue loses that expiry (with
//     a report), never blocks the timer thread. A write that throws (a
//     selection function, an error strategy) loses it the same way: no
//     exception leaves the timer thread or a delivery.
//   - The queue must outlive the Timer. Destruction stops the timer, ends its
//     thread and hands the deletion of the Process Timeout Macro to the
//     queue's consumer, behind any delivery still queued; the consumer must
//     therefore keep running (or the queue be destroyed, which deletes it).
//   - Shutdown order for a derived Timer: its destructor calls cleanUp() first,
//     so that no delivery reaches handleTimeout while the derived part is
//     being destroyed (the base destructor runs only after it is gone).
//   - Timers may be created, started, stopped and destroyed from several
//     threads; one Timer is controlled by one thread at a time.
//   - Options that stop the process (assertions of the OS layer beneath):
//     a stacksize below -1; under a real-time task policy, a priority outside
//     0..os::osTaskGetMaxPriority().
#ifndef HALVIX_TIMER_TIMER_H
#define HALVIX_TIMER_TIMER_H

#include <halvix/Export.h>
#include <halvix/command/Macro.h>
#include <halvix/os/osTask.h>
#include <halvix/queue/Queue.h>
#include <halvix/timer/Lateness.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace halvix::timer {

class ProcessTimeoutCommand;
class ProcessTimeoutMacro;

class HALVIX_API Timer
{
public:
    enum State
    {
        STOPPED = 0,
        RUNNING = 1,
        EXPIRED = 2
    };

    static const std::string TIMER_ERROR;        // "TimerError"
    static const std::string WRONG_STATE_ERROR;  // "WrongTimerState"

    // A stopped timer delivering to queuePtr; a null queuePtr means the event
    // queue of the Task whose thread constructs it, and on a thread that is no
    // Task a "TimerError" is reported and thrown. `options` (may be null)
    // shapes the timer thread; its name becomes "Timer:" + the queue's name
    // and without options the thread gets the caller's priority.
    Timer(queue::Queue* queuePtr, const os::osTaskOptions_t* options);
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // cleanUp().
    virtual ~Timer() = 0;

    // Nine labelled lines: id, queue, OS timer, state, macro, command,
    // start id, repeat rate (with "ms") and argument pointer.
    virtual std::ostream& output(std::ostream& os) const;

    // The application's timeout action, on the queue consumer's thread.
    virtual void handleTimeout() = 0;

    // Called on the timer thread at expiry: drops an expiry of an earlier
    // start, re-arms a repeating timer, then posts the Process Timeout Macro
    // (or hands the expiry to the delivery still posted).
    virtual void processTimeout();

    // Arms the timer: first expiry after `ms` milliseconds, then every
    // `repeatRate` ms (0: one-shot). `argPtr` is kept for the application
    // (getArgPtr). Refused with a report while RUNNING.
    bool startRelative(unsigned int ms, unsigned int repeatRate, void* argPtr);

    // As startRelative, at calendar time `time` (seconds, as time() gives);
    // a time not in the future fires at once. A time more than 4294967
    // seconds (about 49.7 days) ahead does not fit the millisecond delay and is
    // refused with a report ("TimerError") rather than armed for a wrong,
    // wrapped-around delay.
    bool startAbsolute(long time, unsigned int repeatRate, void* argPtr);

    // Disarms the timer and makes every delivery still queued stale; waits
    // for a running delivery as the class comment says. Reported as a
    // warning when the timer is already STOPPED.
    void stop();

    // The callback of the OS timer: finds the Timer through its thread's
    // options and calls processTimeout, whose exceptions it swallows (one
    // leaving the timer thread would end the process).
    static void staticProcessTimeout(void* osTimer);

    // The next free id: ids wrap modulo 2^32 and skip those in use.
    static unsigned int getNextId();

    // Unregisters, stops and releases the timer (see the class comment).
    // Idempotent: a derived destructor calls it first.
    void cleanUp();

    unsigned int getId() const { return id; }
    int getState() const { return state.load(std::memory_order_acquire); }
    unsigned int getStartId() const { return startId.load(std::memory_order_acquire); }
    void* getArgPtr() const { return argPtr.load(std::memory_order_acquire); }
    command::Macro* getProcessTimeoutMacroPtr() const { return processTimeoutMacroPtr; }

    // --- Counters for halvix/observe ---

    // Expiries taken (posted or handed to the delivery still posted), kept
    // while observation is on.
    uint64_t getFired() const { return fired.load(std::memory_order_relaxed); }
    // Expiries that found the previous delivery still waiting or running;
    // always kept.
    uint64_t getOverruns() const;
    // Lateness of the deliveries at handleTimeout, kept while observation is on.
    const Lateness& getLateness() const { return lateness; }

    // What a snapshot shows of one timer, copied under the registry's lock.
    struct Facts
    {
        unsigned int id;
        std::string queue;
        int state;
        unsigned int repeatMs;
        uint64_t fired;
        uint64_t overruns;
        uint64_t deliveries;  // lateness samples
        int64_t lateLastUs;
        int64_t lateMaxUs;
        int64_t lateP50Us;
    };
    // Appends the facts of at most `limit` registered timers, in id order,
    // starting after the id `*after` (from the first when null); returns how
    // many it appended. Holds the registry's lock for one call only.
    HALVIX_INTERNAL static std::size_t copyFacts(const unsigned int* after, std::size_t limit,
                                                 std::vector<Facts>& out);

protected:
    // The last id handed out; guarded by the timer registry's lock.
    // Protected so a derived class can inspect or move the sequence.
    static unsigned int m_lastId;

private:
    friend class ProcessTimeoutCommand;

    // getNextId's work, for a caller that holds the registry's lock.
    HALVIX_INTERNAL static unsigned int nextFreeId(const std::map<unsigned int, Timer*>& timers);
    // The Process Timeout Macro with the record of deliveries; its mutex is
    // the timer's delivery lock.
    HALVIX_INTERNAL ProcessTimeoutMacro& deliveries() const;
    // Waits, holding the delivery lock, until no delivery of this timer runs,
    // unless the caller is inside a handleTimeout.
    HALVIX_INTERNAL void waitForDeliveriesElsewhere(std::unique_lock<std::mutex>& lock);
    // processTimeout's write of the macro; false also when the write threw.
    HALVIX_INTERNAL bool postDelivery();

    queue::Queue* queuePtr;  // not owned; never null after construction
    unsigned int id;
    void* osTimerPtr;
    // Written by start/stop (controlling thread) and processTimeout (timer
    // thread) under the delivery lock; read by anyone: release/acquire so a
    // reader of the state sees what was set before it.
    std::atomic<int> state;
    // Owned until handed to the consumer; a ProcessTimeoutMacro.
    command::Macro* processTimeoutMacroPtr;
    ProcessTimeoutCommand* processTimeoutCommandPtr;  // owned by the macro
    // Generation number: raised by every start and stop. Changed under the
    // delivery lock; read without it by accessors.
    std::atomic<unsigned int> startId;
    std::atomic<unsigned int> repeatRate;  // read on the timer thread at expiry
    std::atomic<void*> argPtr;
    // When the current start or re-arm is due (monotonic clock), taken
    // before the OS timer is armed, so that the OS timer, which never fires
    // early, never fires before it for the current start. Guarded by the
    // delivery lock.
    std::chrono::steady_clock::time_point dueTime;
    // Observation: written on the timer thread; relaxed, a statistic.
    std::atomic<uint64_t> fired{0};
    // When the oldest expiry not yet delivered was due (nanoseconds of the
    // monotonic clock), for the lateness of its delivery. Set by the post of
    // the macro (never while it is posted); each delivery moves it one
    // period on, to the overrun it hands over next. Relaxed: the queue orders
    // a post before its delivery, and the delivery lock a delivery's end
    // before the next post.
    std::atomic<int64_t> undeliveredDueNs{0};
    Lateness lateness;
};

HALVIX_API std::ostream& operator<<(std::ostream& os, const Timer& timer);

}  // namespace halvix::timer

#endif  // HALVIX_TIMER_TIMER_H
