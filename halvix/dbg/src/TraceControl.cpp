// The trace facility's globals and its small controls: the lock, the level,
// per-thread muting and the unfiltered printf.
#include "halvix/dbg/dbg.h"

#include "halvix/dbg/src/TraceState.h"
#include "halvix/src/Assert.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

// _dbg_mask and _dbg_disabled_thread are defined in TraceGlobals.cpp: they
// must outlive every thread that traces.

namespace halvix::dbg {

TraceMutex traceMutex;  // a name for the analysis; the lock is _dbg_mutex

}  // namespace halvix::dbg

extern "C" {

std::atomic<_dbgLevel_t> _dbg_level{DBG_LEVEL_WARN};  // relaxed: no data is published through it
// Static initialisation makes the lock usable before any constructor runs,
// so static initialisers of other modules may trace.
pthread_mutex_t _dbg_mutex = PTHREAD_MUTEX_INITIALIZER;
_dbgLevel_t _dbg_type = DBG_LEVEL_WARN;  // guarded by _dbg_mutex
const char* _dbg_function = "";          // guarded by _dbg_mutex
const char* _dbg_filename = "";          // guarded by _dbg_mutex
int64_t _dbg_line = 0;                   // guarded by _dbg_mutex

// The assertion texts below are the facility's own messages: keep their
// spelling as it is.
// clang-format off
void _dbg_lock(void)
{
    HALVIX_ASSERT(pthread_mutex_lock( &_dbg_mutex )==0);
}

void _dbg_unlock(void)
{
    HALVIX_ASSERT(pthread_mutex_unlock( &_dbg_mutex )==0);
}
// clang-format on

void _dbg_mutex_init(void)
{
    pthread_mutex_init(&_dbg_mutex, nullptr);
}

void _dbg_set_level(_dbgLevel_t Level)
{
    HALVIX_ASSERT(Level == DBG_LEVEL_WARN || Level == DBG_LEVEL_TRACE || Level == DBG_LEVEL_LOG);
    _dbg_level.store(Level, std::memory_order_relaxed);
}

unsigned long _dbg_get_current_thread_id(void)
{
    return static_cast<unsigned long>(pthread_self());
}

void _dbg_disable(void)
{
    const unsigned long self = _dbg_get_current_thread_id();
    // The list may have to grow: a failed allocation throws with the lock
    // released and the thread not muted.
    halvix::dbg::TraceLock lock;
    if (std::find(_dbg_disabled_thread.begin(), _dbg_disabled_thread.end(), self) ==
        _dbg_disabled_thread.end()) {
        _dbg_disabled_thread.push_back(self);
    }
}

void _dbg_enable(void)
{
    const unsigned long self = _dbg_get_current_thread_id();
    halvix::dbg::TraceLock lock;
    // Each id is listed at most once; erase keeps the others in order.
    auto found = std::find(_dbg_disabled_thread.begin(), _dbg_disabled_thread.end(), self);
    if (found != _dbg_disabled_thread.end()) {
        _dbg_disabled_thread.erase(found);
    }
}

void _dbg_printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}

}  // extern "C"
