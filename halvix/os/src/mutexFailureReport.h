// halvix/os/src/mutexFailureReport.h - the standard-output report of a failed
// mutex call (internal).
#ifndef HALVIX_OS_SRC_MUTEXFAILUREREPORT_H
#define HALVIX_OS_SRC_MUTEXFAILUREREPORT_H

#include <execinfo.h>

namespace halvix::os::internal {

// The frames of the calling thread, innermost first, at most 16.
struct CallerFrames
{
    static constexpr int MAX_FRAMES = 16;
    void* frames[MAX_FRAMES];
    int count;
};

// Always inlined, so the innermost frame is the operation that calls it.
__attribute__((always_inline)) inline CallerFrames captureCallerFrames()
{
    CallerFrames caller;
    caller.count = backtrace(caller.frames, CallerFrames::MAX_FRAMES);
    return caller;
}

// The mutex calls whose failures are reported on standard output.
enum class MutexCall
{
    LOCK,
    UNLOCK,
    DESTROY
};

// Writes the report of `call` on `mutex` failing with `status` to standard
// output, and flushes it: the report must reach a pipe or file even when an
// assertion stops the process right after it, and an unlock failure leaves the
// process running with no later flush in sight. `line` is the source line of
// the reporting statement; `caller` the frames of the failing operation. The
// report:
//   posixMutex.c:<line> pthread_mutex_<call>(<mutex>) (TID <id>) returned <status> == <text>
//   Backtrace:
//   [bt][0] <symbol>          (a line per frame of `caller`)
//   --------
void reportMutexFailure(MutexCall call, int line, const void* mutex, int status, const CallerFrames& caller);

}  // namespace halvix::os::internal

#endif  // HALVIX_OS_SRC_MUTEXFAILUREREPORT_H
