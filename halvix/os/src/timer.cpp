// One-shot timers: each timer owns a joinable task that waits for starts on a
// semaphore and for the delay on a condition, and calls back when it passes.
#include "halvix/os/src/conditionWakeAll.h"
#include "halvix/os/src/osCheck.h"
#include "halvix/os/src/taskRecord.h"
#include "halvix/os/src/timerRecord.h"

#include <sys/prctl.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <new>

namespace halvix::os {

namespace {

// Signature texts of the assertions (see osCheck.h).
constexpr char OS_TIMER_CREATE[] =
    "void* halvix::os::osTimerCreate(void (*)(void*), halvix::os::osTaskOptions_t*)";
constexpr char OS_TIMER_START[] = "void halvix::os::osTimerStart(halvix::os::osTimer_t, long int)";
constexpr char OS_TIMER_SET_DATA[] = "void halvix::os::osTimerSetData(halvix::os::osTimer_t, void*)";

// Numbers the default names of timer threads. Atomic so that timers created
// on several threads at once never share a name; relaxed, as only the value
// itself matters.
std::atomic<int64_t> timerCounter{0};

// Waits, holding pTimer->mutex, until the deadline of the start of
// `generation`. True when it passed with that start still armed; false when it
// was stopped (and perhaps started anew) in the meantime.
//
// A wake-up that leaves the generation unchanged came from no stop (the
// condition may wake without a signal): the wait goes on until the same
// absolute deadline. Taking it for a stop would leave the timer armed without
// ever firing, and every later start would be ignored.
bool waitForExpiry(osPosixTimer_t* pTimer, uint64_t generation)
{
    for (;;) {
        const bool woken = internal::conditionWaitUntil(pTimer->condition, pTimer->deadline);
        if (pTimer->generation != generation) {
            return false;
        }
        if (!woken) {
            return true;
        }
    }
}

// The routine of every timer's task.
void* timerThread(void* hTimer)
{
    osPosixTimer_t* pTimer = static_cast<osPosixTimer_t*>(hTimer);
    // The kernel lets a timed wait of an ordinary thread end up to 50 us late
    // (its default timer slack) to batch wake-ups; a timer thread exists to
    // wake on time, so it asks for the smallest slack. Best effort: a refusal
    // costs only precision.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    for (;;) {
        osSemaphoreTake(pTimer->startSemaphore, -1);
        osMutexLock(pTimer->mutex, false);
        if (pTimer->terminate) {
            osMutexUnlock(pTimer->mutex);
            return nullptr;
        }
        // Units outnumber live starts when a stop and a start came before the
        // thread took the first unit: the thread served the latest start with
        // that unit, and a later unit that finds the timer disarmed is spent
        // without a wait.
        if (!pTimer->running) {
            osMutexUnlock(pTimer->mutex);
            continue;
        }
        if (waitForExpiry(pTimer, pTimer->generation)) {
            pTimer->running = false;
            osMutexUnlock(pTimer->mutex);
            pTimer->callback(pTimer);
            osMutexLock(pTimer->mutex, false);
        }
        osMutexUnlock(pTimer->mutex);
    }
}

osPosixTimer_t* toTimer(osTimer_t timer)
{
    return static_cast<osPosixTimer_t*>(timer);
}

}  // namespace

void* osTimerCreate(void (*callback)(void*), osTaskOptions_t* options)
{
    osPosixTimer_t* pTimer = new (std::nothrow) osPosixTimer_t();
    HALVIX_OS_ASSERT(pTimer != __null, OS_TIMER_CREATE);

    osTaskOptions_t taskOptions = {};
    if (options != nullptr) {
        taskOptions = *options;
    }
    taskOptions.joinable = 1;
    if (taskOptions.stacksize <= 0) {
        taskOptions.stacksize = minimumTaskStackSize;  // the thread only waits and calls back
    }
    if (taskOptions.name[0] == '\0') {
        const int64_t id = timerCounter.fetch_add(1, std::memory_order_relaxed) + 1;
        snprintf(taskOptions.name, sizeof(taskOptions.name), "Timer@%p:ID%ld",
                 reinterpret_cast<void*>(callback), static_cast<long>(id));
    }

    pTimer->mutex = osMutexCreate();
    pTimer->condition = osConditionCreate(pTimer->mutex);
    pTimer->startSemaphore = osSemaphoreCreate(0);
    pTimer->timeoutMs = 0;
    pTimer->running = false;
    pTimer->terminate = false;
    pTimer->callback = callback;
    pTimer->data = nullptr;
    pTimer->generation = 0;
    pTimer->task = osTaskCreate(timerThread, &taskOptions, pTimer);
    return pTimer;
}

void osTimerStart(osTimer_t timer, long numMs)
{
    HALVIX_OS_ASSERT(numMs >= 0, OS_TIMER_START);
    osPosixTimer_t* pTimer = toTimer(timer);
    osMutexLock(pTimer->mutex, false);
    if (!pTimer->running) {
        pTimer->timeoutMs = numMs;
        osPosixGetTimeIn(&pTimer->deadline, numMs);
        pTimer->running = true;
        ++pTimer->generation;
        osSemaphoreGive(pTimer->startSemaphore);
    }
    osMutexUnlock(pTimer->mutex);
}

void osTimerStop(osTimer_t timer)
{
    osPosixTimer_t* pTimer = toTimer(timer);
    osMutexLock(pTimer->mutex, false);
    if (pTimer->running) {
        pTimer->running = false;
        ++pTimer->generation;
        osConditionBroadcast(pTimer->condition);
    }
    osMutexUnlock(pTimer->mutex);
}

void osTimerDestroy(osTimer_t timer)
{
    osPosixTimer_t* pTimer = toTimer(timer);
    osTimerStop(timer);
    osMutexLock(pTimer->mutex, false);
    pTimer->terminate = true;
    osSemaphoreGive(pTimer->startSemaphore);
    osMutexUnlock(pTimer->mutex);
    osTaskJoin(pTimer->task);
    osTaskDestroy(pTimer->task);
    osConditionDestroy(pTimer->condition);
    osMutexDestroy(pTimer->mutex);
    osSemaphoreDestroy(pTimer->startSemaphore);
    delete pTimer;
}

void osTimerSetData(osTimer_t timer, void* data)
{
    osPosixTimer_t* pTimer = toTimer(timer);
    osMutexLock(pTimer->mutex, false);
    // clang-format off
    HALVIX_OS_ASSERT(! (pTimer->running), OS_TIMER_SET_DATA);
    // clang-format on
    pTimer->data = data;
    osMutexUnlock(pTimer->mutex);
}

void* osTimerGetData(osTimer_t timer)
{
    osPosixTimer_t* pTimer = toTimer(timer);
    osMutexLock(pTimer->mutex, false);
    void* data = pTimer->data;
    osMutexUnlock(pTimer->mutex);
    return data;
}

osTask_t osTimerGetTask(osTimer_t timer)
{
    return toTimer(timer)->task;
}

}  // namespace halvix::os
