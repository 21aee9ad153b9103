// OS mutexes and conditions, every timed wait of the layer, traces without memory, deadlines.
#include "halvix/os/osMutex.h"

#include "common/FailingAllocation.h"
#include "halvix/os/osQueue.h"
#include "halvix/os/osTask.h"
#include "halvix/os/src/deadline.h"
#include "osTestSupport.h"

#include <gmock/gmock.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace halvix::os;

// A non-owner's unlock and the destruction of a held mutex are provoked on
// purpose here; ThreadSanitizer would report them as misuse.
extern "C" const char* __tsan_default_suppressions()
{
    return "mutex:osMutexUnlock\nmutex:osMutexDestroy\n";
}

namespace {

TEST(OsMutex, IsRecursiveAndTryLockRespectsOtherOwners)
{
    osMutex_t mutex = osMutexCreate();
    ASSERT_NE(mutex, nullptr);
    EXPECT_TRUE(tryLockFromOtherThread(mutex));
    EXPECT_TRUE(osMutexLock(mutex, false));
    EXPECT_TRUE(osMutexLock(mutex, true));  // the owner locks again: the hold count grows
    osMutexUnlock(mutex);
    EXPECT_FALSE(tryLockFromOtherThread(mutex));  // still held once
    osMutexUnlock(mutex);
    EXPECT_TRUE(tryLockFromOtherThread(mutex));
    osMutexDestroy(mutex);
}

TEST(OsMutex, UnlockByNonOwnerReportsEpermOnStandardOutputAndGoesOn)
{
    osMutex_t mutex = osMutexCreate();
    osMutexLock(mutex, false);
    testing::internal::CaptureStdout();
    std::async(std::launch::async, [mutex] { osMutexUnlock(mutex); }).get();
    const std::string report = testing::internal::GetCapturedStdout();

    EXPECT_THAT(report, testing::HasSubstr(" pthread_mutex_unlock(" + hexText(mutex) + ") (TID "));
    EXPECT_THAT(report,
                testing::MatchesRegex(
                    "posixMutex\\.c:[0-9]+ pthread_mutex_unlock\\([^)]*\\) \\(TID -?[0-9]+\\) "
                    "returned 1 == EPERM - Thread does not own mutex\n"
                    "Backtrace:\n\\[bt\\]\\[0\\] [^\n]*\n(\\[bt\\]\\[[0-9]+\\] [^\n]*\n){0,15}--------\n"));
    EXPECT_FALSE(tryLockFromOtherThread(mutex));  // the owner's hold is intact
    osMutexUnlock(mutex);
    osMutexDestroy(mutex);
}

// Every timed wait of the layer, on something that never comes: none returns
// before its time, the condition's wait holds the mutex again on return.
TEST(OsTimeOut, NoTimedWaitEndsEarly)
{
    osMutex_t mutex = osMutexCreate();
    osCondition_t condition = osConditionCreate(mutex);
    void* empty = osQueueCreate(1);
    void* full = osQueueCreate(1);
    osQueueWrite(full, nullptr, 0);
    osSemaphore_t semaphore = osSemaphoreCreate(0);
    const std::pair<const char*, std::function<bool(long)>> waits[] = {
        {"osConditionWait",
         [&](long ms) {
             osMutexLock(mutex, false);
             const bool woken = osConditionWait(condition, ms);
             EXPECT_FALSE(tryLockFromOtherThread(mutex));
             osMutexUnlock(mutex);
             return woken;
         }},
        {"osQueueRead",
         [&](long ms) {
             void* message = &message;
             const bool read = osQueueRead(empty, &message, ms);
             EXPECT_EQ(message, nullptr);  // a failed read clears the message
             return read;
         }},
        {"osQueueWrite", [&](long ms) { return osQueueWrite(full, &ms, ms); }},
        {"osSemaphoreTake", [&](long ms) { return osSemaphoreTake(semaphore, ms); }},
        {"osTaskSleep", [](long ms) { return osTaskSleep(nullptr, ms), false; }},
        {"__thread_safe_sleep", [](long ms) { return !__thread_safe_sleep(ms); }},
    };
    for (const auto& [name, wait] : waits) {
        for (long ms : {0L, 1L, 30L}) {
            SCOPED_TRACE(std::string(name) + " " + std::to_string(ms) + " ms");
            const Clock::time_point start = Clock::now();
            EXPECT_FALSE(wait(ms));
            EXPECT_GE(since(start), milliseconds(ms));
            EXPECT_LT(since(start), milliseconds(ms) + kLateness);
        }
    }
    EXPECT_EQ(osQueueSize(full), 1);  // the timed-out writes stored nothing
    osSemaphoreDestroy(semaphore);
    osQueueDestroy(full);
    osQueueDestroy(empty);
    osConditionDestroy(condition);
    osMutexDestroy(mutex);
}

TEST(OsCondition, SignalWakesAWaiterAndBroadcastEveryOne)
{
    constexpr int kWaiters = 4;
    osMutex_t mutex = osMutexCreate();
    osCondition_t condition = osConditionCreate(mutex);
    std::atomic<int> waiting{0};  // raised under the mutex, before the waiter's first wait
    std::atomic<int> woken{0};
    bool released = false;  // guarded by mutex
    std::vector<std::future<void>> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.push_back(std::async(std::launch::async, [&] {
            osMutexLock(mutex, false);
            ++waiting;
            do {
                EXPECT_TRUE(osConditionWait(condition, -1));
                ++woken;
            } while (!released);
            osMutexUnlock(mutex);
        }));
    }
    while (waiting.load() < kWaiters) {
        std::this_thread::yield();
    }
    osMutexLock(mutex, false);  // every waiter has released it by waiting
    osConditionSignal(condition);
    osMutexUnlock(mutex);
    while (woken.load() == 0) {
        std::this_thread::yield();
    }
    osMutexLock(mutex, false);  // the owner may broadcast too: the mutex is recursive
    released = true;
    osConditionBroadcast(condition);
    osMutexUnlock(mutex);
    for (auto& waiter : waiters) {
        while (!halvix::test::readyWithinBound(waiter)) {
            ADD_FAILURE() << "a waiter missed the broadcast";
            osConditionBroadcast(condition);  // let the test end
        }
    }
    osConditionDestroy(condition);
    osMutexDestroy(mutex);
}

TEST(OsTrace, TracingWhileAllocationsFailThrowsNothingOutOfTheLayer)
{
    osMutex_t mutex = osMutexCreate();
    osCondition_t condition = osConditionCreate(mutex);
    osTask_t self = osTaskSelf();  // attached while memory is plentiful
    bool threw = false;
    const std::string traces = dbgTracesOf([&] {
        halvix::test::FailingAllocations failing;
        try {
            osMutexLock(mutex, false);
            osConditionWait(condition, 1);  // traces its time-out
            osMutexUnlock(mutex);
            osTaskGetPriority(self);  // traces "Simulated priority only"
        } catch (...) {
            threw = true;
            pthread_mutex_unlock(&_dbg_mutex);  // left held by the throw: fail, don't hang
        }
    });
    EXPECT_FALSE(threw);
    EXPECT_THAT(traces, testing::ContainsRegex("osConditionWait [0-9]+\\} pthread error 110\n"));
    EXPECT_THAT(traces, testing::HasSubstr("} Simulated priority only\n"));
    osConditionDestroy(condition);
    osMutexDestroy(mutex);
}

TEST(OsPosixGetTimeIn, AddsMillisecondsWithCarry)
{
    const struct
    {
        timespec now;
        long ms;
        timespec deadline;
    } cases[] = {{{10, 800000000}, 1500, {12, 300000000}},
                 {{10, 800000000}, 999, {11, 799000000}},
                 {{5, 999999999}, 1, {6, 999999}}};
    for (const auto& c : cases) {
        const timespec deadline = internal::deadlineAfter(c.now, c.ms);
        EXPECT_EQ(deadline.tv_sec, c.deadline.tv_sec) << c.ms;
        EXPECT_EQ(deadline.tv_nsec, c.deadline.tv_nsec) << c.ms;
    }
    timespec deadline;
    osPosixGetTimeIn(&deadline, -1);
    EXPECT_EQ(deadline.tv_sec, 2147483647);
    EXPECT_EQ(deadline.tv_nsec, 2147483647);
}

}  // namespace
