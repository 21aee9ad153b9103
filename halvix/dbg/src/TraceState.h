// halvix/dbg/src/TraceState.h - state of the trace facility shared by its
// source files (internal).
#ifndef HALVIX_DBG_SRC_TRACESTATE_H
#define HALVIX_DBG_SRC_TRACESTATE_H

#include "halvix/dbg/dbg.h"
#include "halvix/src/ThreadSafety.h"

namespace halvix::dbg {

// The trace lock, _dbg_mutex, as the lock analysis sees it: the fields it
// guards name traceMutex. The trace-call protocol takes the lock in the
// caller's DBG_* macro and _dbg_trace releases it, out of the analysis's
// sight; the library's own code takes it through TraceLock or the functions
// below, which the analysis follows.
struct HALVIX_CAPABILITY("mutex") TraceMutex
{
};
extern TraceMutex traceMutex;

// Tells the analysis that the caller's _dbg_lock has taken the trace lock.
inline void traceLockTakenByCaller() HALVIX_ASSERT_CAPABILITY(traceMutex) {}
inline void lockTrace() HALVIX_ACQUIRE(traceMutex) HALVIX_NO_THREAD_SAFETY_ANALYSIS
{
    _dbg_lock();
}
inline void unlockTrace() HALVIX_RELEASE(traceMutex) HALVIX_NO_THREAD_SAFETY_ANALYSIS
{
    _dbg_unlock();
}

// Holds the trace lock for a scope, so that a control that throws (an
// allocation that fails) still releases it: a lock left held would make
// every later trace in the process wait for ever.
class HALVIX_SCOPED_CAPABILITY TraceLock
{
public:
    TraceLock() HALVIX_ACQUIRE(traceMutex) { _dbg_lock(); }
    ~TraceLock() HALVIX_RELEASE() { _dbg_unlock(); }
    TraceLock(const TraceLock&) = delete;
    TraceLock& operator=(const TraceLock&) = delete;
};

// True when a call in `domain` from thread `thread` may print: the domain is
// "all" or the mask holds "all" or the domain, and the thread is not muted.
bool passesTraceFilters(const char* domain, unsigned long thread) HALVIX_REQUIRES(traceMutex);

// Forgets the previously printed line, so the next line shows file, thread
// and function in full. Requires that no other thread traces (start-up).
void resetLastPrinted();

}  // namespace halvix::dbg

#endif  // HALVIX_DBG_SRC_TRACESTATE_H
