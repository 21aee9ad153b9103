// halvix/dbg/dbg.h - the diagnostic trace facility.
//
// Trace lines go to standard error. Three controls decide what is printed:
//   - the level (_dbg_level), tested at the call site before anything else:
//     DBG_LEVEL_WARN < DBG_LEVEL_TRACE < DBG_LEVEL_LOG; a message of level L is
//     printed when the current level is L or higher;
//   - the domain mask (_dbg_mask): each call names a domain, which must be in
//     the mask; the name "all" passes on either side;
//   - the muted threads (_dbg_disable / _dbg_enable).
// A DBG_LEVEL_WARN message is fatal: once written, it stops the process.
//
// Applications call _dbg_init(&argc, argv) once at start-up; it takes the
// options "-warn", "-trace", "-log" and "-debug=<domains>" off the command line.
//
// Domains: each component traces under a short name of its own. Use letters
// and digits: the mask text is split at "_", "-", "+" and the other
// separators listed at _dbg_set_mask, so a mask naming "my_domain" enables
// "my" and "domain", and calls in the domain "my_domain" pass only "all".
// The library itself traces under the domain "dbg": its OS layer writes each
// message-queue read and write, queue and thread creation and priority
// changes at DBG_LEVEL_LOG, queue time-outs at DBG_LEVEL_TRACE, and
// "pthread error %d" before an assertion stops the process. A program that
// traces under "service" thus shows both with "-log", only its own lines with
// "-log -debug=service", and both again with "-log -debug=service+dbg".
//
// Tracing from code uses one form per level. Each tests the level first, so a
// call above the current level costs one integer comparison and does not
// evaluate its arguments:
//
//     DBG_LOG("dbg", "pthread error %d\n", status);
//     DBG_TRACE("net", "connection %p closed", conn);
//     DBG_WARN("all", "cannot continue: %s", why);   // prints, then stops
//
// A line shows, compactly, where it comes from; pieces that did not change
// since the previous line (file, thread, function) are left out:
//
//     -{...vix/os/src/queue.cpp 0x7f2a1c0f8640 osQueueWrite 88} Data write ...
//     -    {91} Data was written to queue 0x55d0c6a8e2b0
//
// The prefix is: the mark ("!" warn, "-" trace, " " log); two spaces when
// file and thread are those of the previous line; two spaces when the
// function is; "{"; the file when it changed (a path over 20 characters
// shows as "..." and its last 20); "0x" and the thread id in hex when the
// thread changed; the function when it changed; the line number; "} ".
// "Changed" compares pointers and ids, not texts. The message follows, and a
// newline is always added.
//
// _dbg_backtrace writes a post-mortem report (pid, backtrace, memory map,
// memory figures) to a file; _dbg_dump writes a hex dump filtered like a trace.
#ifndef HALVIX_DBG_DBG_H
#define HALVIX_DBG_DBG_H

#include <halvix/Export.h>

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Trace levels, from least to most output.
typedef enum
{
    DBG_LEVEL_WARN = 0,   // "-warn":  mark "!", fatal once written
    DBG_LEVEL_TRACE = 1,  // "-trace": mark "-"
    DBG_LEVEL_LOG = 2     // "-log":   mark " "
} _dbgLevel_t;

// Size of the buffer that holds the mask text; a mask must be shorter than
// _DBG_MAX_DOMAIN - 1 characters.
#define _DBG_MAX_DOMAIN 256

// Enabled domains, in the order in which the mask text lists them.
// Guarded by _dbg_mutex. Like the muted list below it is never destroyed:
// threads may go on tracing while the process exits.
HALVIX_API extern std::vector<std::string> _dbg_mask;

extern "C" {

// Current level. Read at every call site without the lock and written without
// it: a relaxed atomic, since no other data is published through it; a change
// takes effect at the next level test.
HALVIX_API extern std::atomic<_dbgLevel_t> _dbg_level;

// Ids (_dbg_get_current_thread_id) of muted threads. Guarded by _dbg_mutex.
HALVIX_API extern std::vector<unsigned long> _dbg_disabled_thread;

// The trace lock (not recursive). Statically initialised, so tracing works
// before _dbg_init.
HALVIX_API extern pthread_mutex_t _dbg_mutex;

// Where the message being traced comes from; written by the call site while
// it holds _dbg_mutex.
HALVIX_API extern _dbgLevel_t _dbg_type;
HALVIX_API extern const char* _dbg_function;
HALVIX_API extern const char* _dbg_filename;
HALVIX_API extern int64_t _dbg_line;

// Resets the facility (level DBG_LEVEL_WARN, lock re-initialised, nothing
// printed yet), then scans the first *argc entries of argv and removes the
// trace options, moving the entries behind each one down:
//   "-warn", "-trace", "-log"  set the level;
//   "-debug=<domains>"         sets the mask (_dbg_set_mask).
// Options apply in order, so the last level and the last mask win. Any other
// entry stays, "-Trace", "-tracex" and "-debug" included. Without an accepted
// "-debug=" option the mask becomes "all"; a bare "-debug=" empties it.
// A "-debug=" text of 255 characters or more is refused instead of stopping
// the process: it is removed like any other trace option, does not change
// the mask, and a one-line note saying so goes to standard error. A refused
// option counts as no option: if no other "-debug=" is accepted, the mask
// becomes "all", so the domains the user asked for are traced (with the
// others) rather than silenced.
// Requires: start-up, before other threads trace; argc not null.
HALVIX_API void _dbg_init(int* argc, char** argv);

// Sets the level; any value but the three levels fails an assertion.
HALVIX_API void _dbg_set_level(_dbgLevel_t Level);

// Replaces the mask. Domains are separated by runs of any of
//   + - | : ; & ^ " * _ , ! # ~ ? < > $ \ / and space.
// The text must be shorter than 255 characters (assertion). When the new
// mask cannot be allocated, throws std::bad_alloc and keeps the old mask.
HALVIX_API void _dbg_set_mask(const char* mask);

// Mute and unmute the calling thread. Muting twice and unmuting once leaves
// the thread unmuted: a thread is listed at most once. _dbg_disable throws
// std::bad_alloc, leaving the thread unmuted, when the list cannot grow.
HALVIX_API void _dbg_disable(void);
HALVIX_API void _dbg_enable(void);

// The trace-call protocol, which the DBG_* forms below carry out: test the
// level, _dbg_lock, set _dbg_type/_dbg_function/_dbg_filename/_dbg_line,
// then _dbg_trace, which writes the line and releases the lock. _dbg_trace
// allocates nothing and never throws, so it works when memory is short and
// always releases the lock. The trace lock is never held while the library
// allocates: a failed allocation in a control releases it.
HALVIX_API void _dbg_lock(void);
HALVIX_API void _dbg_unlock(void);
HALVIX_API void _dbg_trace(const char* domain, const char* format, ...) __attribute__((format(printf, 2, 3)));

// printf to standard error: no filter, no lock, no prefix, no newline; its
// output may fall between the pieces of another thread's trace line.
HALVIX_API void _dbg_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

HALVIX_API unsigned long _dbg_get_current_thread_id(void);
HALVIX_API void _dbg_mutex_init(void);

// Writes a report of the process to the file named by format and its
// arguments, or to standard output and then standard error when the file
// cannot be opened: "Pid=", "Backtrace-entries: " with the symbolic
// backtrace and one "Address=" line per entry, "Process memory map:" and
// "System memory info:". Never stops the process: SIGPIPE from a pipe whose
// reader has gone is held back in the calling thread while it writes (and
// discarded), so the standard-error copy is still written.
HALVIX_API void _dbg_backtrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Hex dump of size bytes at data to standard error, 8 bytes a line
// ("    <address> : " then "xx " per byte), when the domain and the calling
// thread pass the trace filters. The lock is held only for the filters, so
// other output may fall between the lines. A size of zero or below writes
// nothing; any positive size is dumped whole, 2^31 bytes and more included
// (a cut would drop the tail of the area without a word).
HALVIX_API void _dbg_dump(const char* domain, const void* data, int64_t size);

}  // extern "C"

// One trace call of level `level` in `domain` that names `function` as the
// place it comes from: for a helper that traces on behalf of an operation,
// so that the line names the operation. Lines compact by pointer, so pass
// one constant text per function. The remaining arguments are a printf
// format and its values. Not for use between _dbg_lock and _dbg_trace.
#define DBG_TRACE_AS(level, domain, function, ...)                                                           \
    do {                                                                                                     \
        if (_dbg_level.load(std::memory_order_relaxed) >= (level)) {                                         \
            _dbg_lock();                                                                                     \
            _dbg_type = (level);                                                                             \
            _dbg_function = (function);                                                                      \
            _dbg_filename = __FILE__;                                                                        \
            _dbg_line = __LINE__;                                                                            \
            _dbg_trace((domain), __VA_ARGS__);                                                               \
        }                                                                                                    \
    } while (0)

// One trace call of level `level` in `domain` from the enclosing function.
#define DBG_TRACE_AT(level, domain, ...) DBG_TRACE_AS(level, domain, __func__, __VA_ARGS__)

// Fatal: writes the line (if the mask and thread filters pass) and stops.
#define DBG_WARN(domain, ...) DBG_TRACE_AT(DBG_LEVEL_WARN, domain, __VA_ARGS__)
#define DBG_TRACE(domain, ...) DBG_TRACE_AT(DBG_LEVEL_TRACE, domain, __VA_ARGS__)
#define DBG_LOG(domain, ...) DBG_TRACE_AT(DBG_LEVEL_LOG, domain, __VA_ARGS__)

#endif  // HALVIX_DBG_DBG_H
