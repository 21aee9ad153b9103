// Recursive mutexes on POSIX mutexes.
#include "halvix/os/osMutex.h"

#include "halvix/os/src/mutexFailureReport.h"
#include "halvix/os/src/osCheck.h"

#include <errno.h>
#include <pthread.h>

#include <cstdlib>

namespace halvix::os {
namespace {

// The record behind an osMutex_t. `mutex` comes first: the handle is its
// address, which is what conditions wait with.
struct osPosixMutex_t
{
    pthread_mutex_t mutex;
    pthread_mutexattr_t attribute;  // initialised the mutex; lives as long as it
};

constexpr char OS_MUTEX_CREATE[] = "void* halvix::os::osMutexCreate()";
constexpr char OS_MUTEX_DESTROY[] = "void halvix::os::osMutexDestroy(halvix::os::osMutex_t)";
constexpr char OS_MUTEX_LOCK[] = "bool halvix::os::osMutexLock(halvix::os::osMutex_t, bool)";

osPosixMutex_t* recordOf(osMutex_t mutex)
{
    return static_cast<osPosixMutex_t*>(mutex);
}

}  // namespace

void* osMutexCreate()
{
    osPosixMutex_t* pMutex = static_cast<osPosixMutex_t*>(calloc(1, sizeof(osPosixMutex_t)));
    HALVIX_ASSERT(pMutex != __null);
    // clang-format off
    HALVIX_ASSERT(pthread_mutexattr_init( &(pMutex->attribute) ) == 0);
    // clang-format on
    int status = pthread_mutexattr_settype(&pMutex->attribute, PTHREAD_MUTEX_RECURSIVE);
    HALVIX_OS_CHECK(status, OS_MUTEX_CREATE);
    status = pthread_mutex_init(&pMutex->mutex, &pMutex->attribute);
    HALVIX_OS_CHECK(status, OS_MUTEX_CREATE);
    return pMutex;
}

void osMutexDestroy(osMutex_t mutex)
{
    osPosixMutex_t* pMutex = recordOf(mutex);
    int status = pthread_mutexattr_destroy(&pMutex->attribute);
    HALVIX_OS_CHECK(status, OS_MUTEX_DESTROY);
    status = pthread_mutex_destroy(&pMutex->mutex);
    if (status != 0) {
        internal::reportMutexFailure(internal::MutexCall::DESTROY, __LINE__, mutex, status,
                                     internal::captureCallerFrames());
        HALVIX_OS_ASSERT(status == 0, OS_MUTEX_DESTROY);
    }
    free(pMutex);
}

bool osMutexLock(osMutex_t mutex, bool tryLock)
{
    osPosixMutex_t* pMutex = recordOf(mutex);
    int status;
    if (tryLock) {
        status = pthread_mutex_trylock(&pMutex->mutex);
        if (status == EBUSY) {
            // Held by another thread: an ordinary outcome, not a failure.
            return false;
        }
        if (status != 0) {
            DBG_LOG("dbg", "pthread error %d\n", status);
            // clang-format off
            HALVIX_OS_ASSERT(status==0, OS_MUTEX_LOCK);
            // clang-format on
        }
        return true;
    }
    status = pthread_mutex_lock(&pMutex->mutex);
    if (status != 0) {
        internal::reportMutexFailure(internal::MutexCall::LOCK, __LINE__, mutex, status,
                                     internal::captureCallerFrames());
        HALVIX_OS_ASSERT(status == 0, OS_MUTEX_LOCK);
    }
    return true;
}

void osMutexUnlock(osMutex_t mutex)
{
    const int status = pthread_mutex_unlock(&recordOf(mutex)->mutex);
    if (status != 0) {
        // Reported, not fatal: the mutex is unchanged (an unlock by a thread
        // that does not hold it leaves the owner's hold intact), so the
        // process can go on.
        internal::reportMutexFailure(internal::MutexCall::UNLOCK, __LINE__, mutex, status,
                                     internal::captureCallerFrames());
    }
}

}  // namespace halvix::os
