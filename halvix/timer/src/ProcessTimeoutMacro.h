// halvix/timer/src/ProcessTimeoutMacro.h - a Timer's "Process Timeout Macro"
// and the record of its deliveries (internal).
//
// The macro is what travels through the queue, and it outlives its Timer
// (the consumer deletes it, behind any delivery still queued). So the record
// of deliveries lives here rather than in the Timer: a delivery that ends
// after its Timer was destroyed (from a handler, which does not wait) touches
// only the macro.
//
// One Timer's deliveries never overlap, also when its queue forwards to
// several consumers: the macro is posted at most once at a time. An expiry
// that finds it still posted (waiting in the queue or being delivered) is an
// overrun: it is handed over to that delivery, which re-posts the macro
// behind the queue when it ends. With one consumer every expiry still gives
// one handleTimeout call, as when each expiry posted the macro itself.
#ifndef HALVIX_TIMER_SRC_PROCESSTIMEOUTMACRO_H
#define HALVIX_TIMER_SRC_PROCESSTIMEOUTMACRO_H

#include "halvix/command/Macro.h"
#include "halvix/queue/Queue.h"
#include "halvix/src/ThreadSafety.h"
#include "halvix/timer/src/TimerRegistry.h"

#include <atomic>
#include <condition_variable>

namespace halvix::timer {

// Deliveries whose handleTimeout runs on this thread now, nested ones
// counted: a handler may execute another timer's delivery inline. A stop or
// destruction issued from inside any handleTimeout does not wait for
// deliveries on other threads (two handlers stopping each other's timers
// would wait for each other for ever).
extern thread_local int handlersRunningHere;

class ProcessTimeoutMacro : public command::Macro
{
public:
    ProcessTimeoutMacro(queue::Queue* queuePtr, unsigned int timerId);
    ~ProcessTimeoutMacro() override;

    // Called by the Timer's deletion (the consumer's
    // DeleteProcessTimeoutMacroCommand, or the Timer if that cannot be
    // queued): deletes the macro now, or, while it is posted, makes the
    // delivery that takes it delete it when it ends.
    void release();

    // The Timer's delivery lock: guards the Timer's state changes and the
    // fields below. Taken after the timer registry's lock, never before it;
    // the OS timer's mutex is taken inside it (osTimerStart, osTimerStop).
    internal::Mutex mutex HALVIX_ACQUIRED_AFTER(registry::Locked::m_mutex);
    std::condition_variable idle;                          // busy fell to 0
    bool posted HALVIX_GUARDED_BY(mutex) = false;          // in a queue or being delivered
    unsigned int handedOver HALVIX_GUARDED_BY(mutex) = 0;  // overruns the posted delivery still owes
    int busy HALVIX_GUARDED_BY(mutex) = 0;                 // deliveries inside execute()
    bool orphaned HALVIX_GUARDED_BY(mutex) = false;        // released while posted
    // Expiries that found the previous delivery still waiting or running.
    // Relaxed: a statistic, read on its own.
    std::atomic<unsigned long> overruns{0};

protected:
    // One delivery: the ProcessTimeoutCommand, then the hand-over of the
    // next overrun. Nothing of the macro is touched after a re-post, since
    // another consumer may take it at once.
    int myExecute() override;

private:
    // The end of a delivery, also when handleTimeout threw.
    void finish();

    queue::Queue* queuePtr;  // the Timer's queue; outlives the Timer
    unsigned int timerId;    // for the report of a lost re-post
};

}  // namespace halvix::timer

#endif  // HALVIX_TIMER_SRC_PROCESSTIMEOUTMACRO_H
