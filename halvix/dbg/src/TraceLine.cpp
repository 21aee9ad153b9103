// _dbg_trace: filters one trace call and writes its line.
#include "halvix/dbg/dbg.h"

#include "halvix/dbg/src/Assert.h"
#include "halvix/dbg/src/TraceState.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// What the previously printed line showed, compared by identity (pointer and
// id values, not texts): the call sites pass literals, so an unchanged pointer
// means an unchanged place, and comparing pointers costs nothing.
// Guarded by _dbg_mutex.
unsigned long _dbg_last_thread = 0;
const char* _dbg_last_filename = nullptr;
const char* _dbg_last_function = nullptr;

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

void appendPath(std::string& prefix, const char* path)
{
    const size_t length = strlen(path);
    if (length <= kShownPathLength) {
        prefix += path;
    } else {
        prefix += "...";
        prefix += path + (length - kShownPathLength);
    }
}

// Builds the prefix of the line about to be printed by thread `thread` and
// makes the last-printed record describe it. Requires _dbg_mutex held.
std::string buildPrefix(unsigned long thread)
{
    std::string prefix;
    prefix.reserve(96);
    prefix += markOf(_dbg_type);
    if (_dbg_filename == _dbg_last_filename && thread == _dbg_last_thread) {
        prefix += "  ";
    }
    if (_dbg_function == _dbg_last_function) {
        prefix += "  ";
    }
    prefix += '{';
    if (_dbg_filename != _dbg_last_filename) {
        appendPath(prefix, _dbg_filename);
        prefix += ' ';
        _dbg_last_filename = _dbg_filename;
    }
    char number[32];
    if (thread != _dbg_last_thread) {
        snprintf(number, sizeof number, "0x%lx ", thread);
        prefix += number;
        _dbg_last_thread = thread;
    }
    if (_dbg_function != _dbg_last_function) {
        prefix += _dbg_function;
        prefix += ' ';
        _dbg_last_function = _dbg_function;
    }
    snprintf(number, sizeof number, "%" PRIu64, static_cast<uint64_t>(_dbg_line));
    prefix += number;
    prefix += "} ";
    return prefix;
}

}  // namespace

namespace halvix::dbg {

void resetLastPrinted()
{
    _dbg_last_thread = 0;
    _dbg_last_filename = nullptr;
    _dbg_last_function = nullptr;
}

}  // namespace halvix::dbg

extern "C" void _dbg_trace(const char* domain, const char* format, ...)
{
    const unsigned long thread = _dbg_get_current_thread_id();
    if (!halvix::dbg::passesTraceFilters(domain, thread)) {
        _dbg_unlock();
        return;
    }
    const std::string prefix = buildPrefix(thread);

    // stderr is unbuffered: each of the three pieces is one write, and the
    // lock keeps lines of different threads from interleaving.
    fputs(prefix.c_str(), stderr);
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
    _dbg_unlock();
}
