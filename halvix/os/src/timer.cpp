// One-shot timers: each timer owns a joinable task that waits for starts on a
// semaphore and for the delay on a condition, and calls back when it passes.
#include "halvix/os/src/conditionWait.h"
#include "halvix/os/src/deadline.h"
#include "halvix/os/src/osCheck.h"
#include "halvix/os/src/parking.h"
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

// How long before a deadline the timer thread stops sleeping and spins the
// rest of the way. A sleeping thread wakes 50-150 us after its instant on
// this kind of machine (the kernel's timer and the scheduler); spinning the
// last stretch leaves only the wake-up of the thread that consumes the expiry
// between the deadline and the application's handler. Measured with a 10 ms
// timer whose callback writes to an OS queue: the callback ran 70 us late
// (median) without the spin and 4 us with it, the reader 16 us after that.
// Skipped when the thread may run on one CPU only (the spin would hold that
// CPU).
constexpr long EXPIRY_SPIN_AHEAD_NS = 200000;

// Set while a timer thread of the process spins towards its deadline. One
// spinner at a time: a process with many timers never burns more than one
// CPU on them; the others sleep to their deadlines as before. Acquire and
// release are not needed (the flag guards no data): relaxed.
std::atomic<bool> expirySpinTaken{false};

// `deadline` moved `ns` (< 1 s) earlier.
timespec earlierBy(const timespec& deadline, long ns)
{
    timespec earlier = deadline;
    earlier.tv_nsec -= ns;
    if (earlier.tv_nsec < 0) {
        earlier.tv_nsec += internal::NANOSECONDS_PER_SECOND;
        --earlier.tv_sec;
    }
    return earlier;
}

// The timer's mutex taken and released as the lock analysis sees it (the
// analysis cannot look into the OS layer's own calls).
void lockTimer(osPosixTimer_t* pTimer) HALVIX_ACQUIRE(pTimer->mutex) HALVIX_NO_THREAD_SAFETY_ANALYSIS
{
    osMutexLock(pTimer->mutex, false);
}

void unlockTimer(osPosixTimer_t* pTimer) HALVIX_RELEASE(pTimer->mutex) HALVIX_NO_THREAD_SAFETY_ANALYSIS
{
    osMutexUnlock(pTimer->mutex);
}

bool reached(const timespec& deadline)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

// Waits, holding pTimer->mutex, until the deadline of the start of
// `generation`. True when it passed with that start still armed; false when it
// was stopped (and perhaps started anew) in the meantime.
//
// A wake-up that leaves the generation unchanged came from no stop (the
// condition may wake without a signal): the wait goes on until the same
// absolute deadline. Taking it for a stop would leave the timer armed without
// ever firing, and every later start would be ignored.
//
// The last EXPIRY_SPIN_AHEAD_NS are spun without the mutex, so that starts
// and stops never wait for the spin; a stop during it shows in the generation.
bool waitForExpiry(osPosixTimer_t* pTimer, uint64_t generation) HALVIX_REQUIRES(pTimer->mutex)
{
    const bool spin = internal::FutexParking::severalCpus();
    const timespec wakeAt = spin ? earlierBy(pTimer->deadline, EXPIRY_SPIN_AHEAD_NS) : pTimer->deadline;
    bool early = spin;
    for (;;) {
        const bool woken = internal::conditionWaitUntil(pTimer->condition, early ? wakeAt : pTimer->deadline);
        if (pTimer->generation != generation) {
            return false;
        }
        if (woken) {
            continue;
        }
        if (!early) {
            return true;
        }
        // At the early instant: spin the rest unless another timer spins now.
        early = false;
        if (!expirySpinTaken.exchange(true, std::memory_order_relaxed)) {
            break;
        }
    }
    const timespec deadline = pTimer->deadline;
    unlockTimer(pTimer);
    while (!reached(deadline)) {
        internal::FutexParking::pause();
    }
    expirySpinTaken.store(false, std::memory_order_relaxed);
    lockTimer(pTimer);
    return pTimer->generation == generation;
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
        lockTimer(pTimer);
        if (pTimer->terminate) {
            unlockTimer(pTimer);
            return nullptr;
        }
        // Units outnumber live starts when a stop and a start came before the
        // thread took the first unit: the thread served the latest start with
        // that unit, and a later unit that finds the timer disarmed is spent
        // without a wait.
        if (!pTimer->running) {
            unlockTimer(pTimer);
            continue;
        }
        if (waitForExpiry(pTimer, pTimer->generation)) {
            pTimer->running = false;
            unlockTimer(pTimer);
            pTimer->callback(pTimer);
            lockTimer(pTimer);
        }
        unlockTimer(pTimer);
    }
}

osPosixTimer_t* toTimer(osTimer_t timer)
{
    return static_cast<osPosixTimer_t*>(timer);
}

}  // namespace

// Fills the record without its mutex: no other thread sees it before
// osTaskCreate starts the timer thread, which publishes it.
void* osTimerCreate(void (*callback)(void*), osTaskOptions_t* options) HALVIX_NO_THREAD_SAFETY_ANALYSIS
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
    lockTimer(pTimer);
    if (!pTimer->running) {
        pTimer->timeoutMs = numMs;
        osPosixGetTimeIn(&pTimer->deadline, numMs);
        pTimer->running = true;
        ++pTimer->generation;
        osSemaphoreGive(pTimer->startSemaphore);
    }
    unlockTimer(pTimer);
}

void osTimerStop(osTimer_t timer)
{
    osPosixTimer_t* pTimer = toTimer(timer);
    lockTimer(pTimer);
    if (pTimer->running) {
        pTimer->running = false;
        ++pTimer->generation;
        osConditionBroadcast(pTimer->condition);
    }
    unlockTimer(pTimer);
}

void osTimerDestroy(osTimer_t timer)
{
    osPosixTimer_t* pTimer = toTimer(timer);
    osTimerStop(timer);
    lockTimer(pTimer);
    pTimer->terminate = true;
    osSemaphoreGive(pTimer->startSemaphore);
    unlockTimer(pTimer);
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
    lockTimer(pTimer);
    // clang-format off
    HALVIX_OS_ASSERT(! (pTimer->running), OS_TIMER_SET_DATA);
    // clang-format on
    pTimer->data = data;
    unlockTimer(pTimer);
}

void* osTimerGetData(osTimer_t timer)
{
    osPosixTimer_t* pTimer = toTimer(timer);
    lockTimer(pTimer);
    void* data = pTimer->data;
    unlockTimer(pTimer);
    return data;
}

osTask_t osTimerGetTask(osTimer_t timer)
{
    return toTimer(timer)->task;
}

}  // namespace halvix::os
