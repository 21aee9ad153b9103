// _dbg_trace: filters one trace call and writes its line.
#include "halvix/dbg/dbg.h"

#include "halvix/dbg/src/TraceState.h"
#include "halvix/src/Assert.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// What the previously printed line showed, compared by identity (pointer and
// id values, not texts): the call sites pass literals, so an unchanged pointer
// means an unchanged place, and comparing pointers costs nothing.
using halvix::dbg::traceMutex;
unsigned long _dbg_last_thread HALVIX_GUARDED_BY(traceMutex) = 0;
const char* _dbg_last_filename HALVIX_GUARDED_BY(traceMutex) = nullptr;
const char* _dbg_last_function HALVIX_GUARDED_BY(traceMutex) = nullptr;

// Paths are full build paths; their tail is what tells files apart.
constexpr size_t kShownPathLength = 20;

char markOf(_dbgLevel_t type)
{
    switch (type) {
    case DBG_LEVEL_WARN:
        return '!';
    case DBG_LEVEL_TRACE:
        return '-';
    default:
        return ' ';
    }
}

// The prefix of one line, assembled without allocating: a trace must work
// when memory is short, and must not leave the trace lock held by throwing.
// A prefix that outgrows the buffer (a very long function name) is written in
// more than one piece; the trace lock still keeps the line whole.
class Prefix
{
public:
    explicit Prefix(FILE* stream) : out(stream) {}

    void append(const char* text, size_t length)
    {
        while (length > 0) {
            if (used == sizeof buffer) {
                flush();
            }
            const size_t part = std::min(length, sizeof buffer - used);
            memcpy(buffer + used, text, part);
            used += part;
            text += part;
            length -= part;
        }
    }
    void append(const char* text) { append(text, strlen(text)); }
    void append(char c) { append(&c, 1); }

    void flush()
    {
        fwrite(buffer, 1, used, out);
        used = 0;
    }

private:
    FILE* out;
    char buffer[160];  // mark, indents, path, thread id, a usual function name, line
    size_t used = 0;
};

void appendPath(Prefix& prefix, const char* path)
{
    const size_t length = strlen(path);
    if (length <= kShownPathLength) {
        prefix.append(path, length);
    } else {
        prefix.append("...");
        prefix.append(path + (length - kShownPathLength), kShownPathLength);
    }
}

// Writes the prefix of the line about to be printed by thread `thread` and
// makes the last-printed record describe it.
void writePrefix(Prefix& prefix, unsigned long thread) HALVIX_REQUIRES(traceMutex)
{
    prefix.append(markOf(_dbg_type));
    if (_dbg_filename == _dbg_last_filename && thread == _dbg_last_thread) {
        prefix.append("  ");
    }
    if (_dbg_function == _dbg_last_function) {
        prefix.append("  ");
    }
    prefix.append('{');
    if (_dbg_filename != _dbg_last_filename) {
        appendPath(prefix, _dbg_filename);
        prefix.append(' ');
        _dbg_last_filename = _dbg_filename;
    }
    char number[32];
    if (thread != _dbg_last_thread) {
        snprintf(number, sizeof number, "0x%lx ", thread);
        prefix.append(number);
        _dbg_last_thread = thread;
    }
    if (_dbg_function != _dbg_last_function) {
        prefix.append(_dbg_function);
        prefix.append(' ');
        _dbg_last_function = _dbg_function;
    }
    snprintf(number, sizeof number, "%" PRIu64 "} ", static_cast<uint64_t>(_dbg_line));
    prefix.append(number);
    prefix.flush();
}

}  // namespace

namespace halvix::dbg {

// At start-up, with no other thread tracing, the lock is not needed (and
// _dbg_init re-initialises it just before).
void resetLastPrinted() HALVIX_NO_THREAD_SAFETY_ANALYSIS
{
    _dbg_last_thread = 0;
    _dbg_last_filename = nullptr;
    _dbg_last_function = nullptr;
}

}  // namespace halvix::dbg

extern "C" void _dbg_trace(const char* domain, const char* format, ...)
{
    halvix::dbg::traceLockTakenByCaller();
    const unsigned long thread = _dbg_get_current_thread_id();
    if (!halvix::dbg::passesTraceFilters(domain, thread)) {
        halvix::dbg::unlockTrace();
        return;
    }
    // stderr is unbuffered: each of the three pieces (prefix, message,
    // newline) is one write, and the lock keeps lines of different threads
    // from interleaving. Nothing here allocates or throws, so the lock is
    // always released below.
    Prefix prefix(stderr);
    writePrefix(prefix, thread);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputs("\n", stderr);

    if (_dbg_type == DBG_LEVEL_WARN) {
        // A warning is fatal once written. The lock stays held so that no
        // other thread's line follows it.
        HALVIX_ASSERT(0);
    }
    halvix::dbg::unlockTrace();
}
