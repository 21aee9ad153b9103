// halvix/dbg/src/TraceState.h - state of the trace facility shared by its
// source files (internal).
#ifndef HALVIX_DBG_SRC_TRACESTATE_H
#define HALVIX_DBG_SRC_TRACESTATE_H

#include "halvix/dbg/dbg.h"

namespace halvix::dbg {

// Holds the trace lock for a scope, so that a control that throws (an
// allocation that fails) still releases it: a lock left held would make
// every later trace in the process wait for ever.
class TraceLock
{
public:
    TraceLock() { _dbg_lock(); }
    ~TraceLock() { _dbg_unlock(); }
    TraceLock(const TraceLock&) = delete;
    TraceLock& operator=(const TraceLock&) = delete;
};

// True when a call in `domain` from thread `thread` may print: the domain is
// "all" or the mask holds "all" or the domain, and the thread is not muted.
// Requires _dbg_mutex held.
bool passesTraceFilters(const char* domain, unsigned long thread);

// Forgets the previously printed line, so the next line shows file, thread
// and function in full. Requires that no other thread traces (start-up).
void resetLastPrinted();

}  // namespace halvix::dbg

#endif  // HALVIX_DBG_SRC_TRACESTATE_H
