// Conditions bound to a recursive mutex, with waits timed on CLOCK_MONOTONIC;
// and the monotonic deadlines they wait for.
#include "halvix/os/osMutex.h"

#include "halvix/os/src/conditionWait.h"
#include "halvix/os/src/deadline.h"
#include "halvix/os/src/osCheck.h"

#include <errno.h>
#include <pthread.h>

#include <cstdlib>

namespace halvix::os {
namespace {

// The record behind an osCondition_t; the handle is the address of
// `condition`.
struct osPosixCondition_t
{
    pthread_cond_t condition;  // clock: CLOCK_MONOTONIC
    osMutex_t mutex;           // the bound mutex; owned by the caller
};

constexpr char OS_CONDITION_CREATE[] = "void* halvix::os::osConditionCreate(halvix::os::osMutex_t)";
constexpr char OS_CONDITION_DESTROY[] = "void halvix::os::osConditionDestroy(halvix::os::osCondition_t)";
constexpr char OS_CONDITION_WAIT[] = "bool halvix::os::osConditionWait(halvix::os::osCondition_t, long int)";
constexpr char OS_CONDITION_SIGNAL[] = "void halvix::os::osConditionSignal(halvix::os::osCondition_t)";
constexpr char OS_CONDITION_BROADCAST[] = "void halvix::os::osConditionBroadcast(halvix::os::osCondition_t)";

constexpr int FAR_FUTURE = 2147483647;

#define HALVIX_TRACE_WAIT(status)                                                                            \
    DBG_TRACE_AS(DBG_LEVEL_LOG, "dbg", internal::CONDITION_WAIT_TRACE_NAME, "pthread error %d\n", (status))

osPosixCondition_t* recordOf(osCondition_t condition)
{
    return static_cast<osPosixCondition_t*>(condition);
}

// An osMutex_t is the address of its POSIX mutex.
pthread_mutex_t* posixMutexOf(const osPosixCondition_t* pCondition)
{
    return static_cast<pthread_mutex_t*>(pCondition->mutex);
}

}  // namespace

void* osConditionCreate(osMutex_t mutex)
{
    osPosixCondition_t* pCondition = static_cast<osPosixCondition_t*>(calloc(1, sizeof(osPosixCondition_t)));
    // Out of memory stops the process, as it does for osMutexCreate: the
    // callers (semaphores, timers) cannot work without their condition, and a
    // null handle would only crash later, far from the cause. The assertion
    // names the cause at once.
    HALVIX_OS_ASSERT(pCondition != __null, OS_CONDITION_CREATE);
    pthread_condattr_t attribute;
    int status = pthread_condattr_init(&attribute);
    HALVIX_OS_CHECK(status, OS_CONDITION_CREATE);
    // Deadlines are monotonic, so setting the wall clock never moves a wait.
    status = pthread_condattr_setclock(&attribute, CLOCK_MONOTONIC);
    HALVIX_OS_CHECK(status, OS_CONDITION_CREATE);
    pCondition->mutex = mutex;
    status = pthread_cond_init(&pCondition->condition, &attribute);
    HALVIX_OS_CHECK(status, OS_CONDITION_CREATE);
    pthread_condattr_destroy(&attribute);
    return pCondition;
}

void osConditionDestroy(osCondition_t condition)
{
    osPosixCondition_t* pCondition = recordOf(condition);
    const int status = pthread_cond_destroy(&pCondition->condition);
    HALVIX_OS_CHECK(status, OS_CONDITION_DESTROY);
    free(pCondition);
}

bool osConditionWait(osCondition_t condition, long numMs)
{
    HALVIX_OS_ASSERT(numMs >= -1, OS_CONDITION_WAIT);
    osPosixCondition_t* pCondition = recordOf(condition);
    if (numMs == -1) {
        const int status = pthread_cond_wait(&pCondition->condition, posixMutexOf(pCondition));
        if (status != 0) {
            HALVIX_TRACE_WAIT(status);
            return false;
        }
        return true;
    }
    if (numMs == 0) {
        return false;
    }
    // One deadline for the whole call: a wait that ends in an error other
    // than the time-out waits again for the same instant, never longer.
    timespec deadline;
    osPosixGetTimeIn(&deadline, numMs);
    for (;;) {
        const int status =
            pthread_cond_timedwait(&pCondition->condition, posixMutexOf(pCondition), &deadline);
        if (status == 0) {
            return true;
        }
        HALVIX_TRACE_WAIT(status);
        if (status == ETIMEDOUT) {
            return false;
        }
    }
}

void osConditionSignal(osCondition_t condition)
{
    osPosixCondition_t* pCondition = recordOf(condition);
    osMutexLock(pCondition->mutex, false);
    const int status = pthread_cond_signal(&pCondition->condition);
    HALVIX_OS_CHECK(status, OS_CONDITION_SIGNAL);
    osMutexUnlock(pCondition->mutex);
}

void osConditionBroadcast(osCondition_t condition)
{
    osPosixCondition_t* pCondition = recordOf(condition);
    osMutexLock(pCondition->mutex, false);
    const int status = pthread_cond_broadcast(&pCondition->condition);
    HALVIX_OS_CHECK(status, OS_CONDITION_BROADCAST);
    osMutexUnlock(pCondition->mutex);
}

bool internal::conditionWaitUntil(osCondition_t condition, const struct timespec& deadline)
{
    // A deadline that has passed already (a timer started with 0 ms) is not
    // waited for, as osConditionWait does not wait for 0 ms: no wait, so no
    // time-out to trace. Reading the clock costs far less than the wait.
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec)) {
        return false;
    }
    osPosixCondition_t* pCondition = recordOf(condition);
    const int status = pthread_cond_timedwait(&pCondition->condition, posixMutexOf(pCondition), &deadline);
    if (status == 0) {
        return true;
    }
    HALVIX_TRACE_WAIT(status);
    return status != ETIMEDOUT;
}

void osPosixGetTimeIn(struct timespec* ts, long ms)
{
    if (ms < 0) {
        ts->tv_sec = FAR_FUTURE;
        ts->tv_nsec = FAR_FUTURE;
        return;
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    *ts = internal::deadlineAfter(now, ms);
}

}  // namespace halvix::os
