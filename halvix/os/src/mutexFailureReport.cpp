// The standard-output report of a mutex call that failed: call, code, meaning and backtrace.
#include "halvix/os/src/mutexFailureReport.h"

#include <errno.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>

namespace halvix::os::internal {
namespace {

const char* callName(MutexCall call)
{
    switch (call) {
    case MutexCall::LOCK:
        return "pthread_mutex_lock";
    case MutexCall::UNLOCK:
        return "pthread_mutex_unlock";
    case MutexCall::DESTROY:
        return "pthread_mutex_destroy";
    }
    return "pthread_mutex_?";
}

// The meaning of `status` among the codes the manual lists for `call`.
const char* explain(MutexCall call, int status)
{
    switch (call) {
    case MutexCall::LOCK:
        switch (status) {
        case EINVAL:
            return "EINVAL - Unitialized or above priority ceiling";
        case EDEADLK:
            return "EDEADLK - Thread already owns mutex";
        case EAGAIN:
            return "EAGAIN - Maximum recursive locks exceeded";
        }
        break;
    case MutexCall::UNLOCK:
        switch (status) {
        case EAGAIN:
            return "EAGAIN - Maximum recursive locks exceeded";
        case EINVAL:
            return "EINVAL - Unitialized mutex";
        case EPERM:
            return "EPERM - Thread does not own mutex";
        }
        break;
    case MutexCall::DESTROY:
        switch (status) {
        case EBUSY:
            return "EBUSY - Mutex is locked or referenced";
        case EINVAL:
            return "EINVAL - Unitialized mutex";
        }
        break;
    }
    return "!! Does not match any of man page listed possible error returns!!!";
}

}  // namespace

void reportMutexFailure(MutexCall call, int line, const void* mutex, int status, const CallerFrames& caller)
{
    printf("posixMutex.c:%d %s(%p) (TID %d) returned %d == ", line, callName(call), mutex,
           static_cast<int>(pthread_self()), status);
    printf("%s", explain(call, status));
    printf("\n");
    printf("Backtrace:\n");
    char** symbols = backtrace_symbols(caller.frames, caller.count);
    if (symbols != nullptr) {
        for (int i = 0; i < caller.count; ++i) {
            printf("[bt][%d] %s\n", i, symbols[i]);
        }
        free(symbols);
    }
    printf("--------\n");
    fflush(stdout);
}

}  // namespace halvix::os::internal
