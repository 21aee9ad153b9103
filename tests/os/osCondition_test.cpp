#include "halvix/os/osMutex.h"

#include "halvix/os/src/deadline.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

using namespace halvix::os;
using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, the clock of the deadlines

namespace {

class OsConditionTest : public testing::Test
{
protected:
    void TearDown() override
    {
        osConditionDestroy(condition);
        osMutexDestroy(mutex);
    }

    // Once this returns, `n` threads have counted themselves in `waiting`
    // under the mutex and released it only by entering the wait.
    void awaitWaiters(int n)
    {
        for (;;) {
            osMutexLock(mutex, false);
            const int inside = waiting;
            osMutexUnlock(mutex);
            if (inside == n) {
                return;
            }
            std::this_thread::yield();
        }
    }

    osMutex_t mutex = osMutexCreate();
    osCondition_t condition = osConditionCreate(mutex);
    int waiting = 0;        // guarded by mutex
    bool released = false;  // guarded by mutex
};

TEST_F(OsConditionTest, TimedWaitsNeverEndEarlyAndHoldTheMutexAgain)
{
    osMutexLock(mutex, false);
    auto start = Clock::now();
    EXPECT_FALSE(osConditionWait(condition, 0));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));

    for (long ms : {1L, 30L, 100L}) {
        start = Clock::now();
        EXPECT_FALSE(osConditionWait(condition, ms));
        const auto elapsed = Clock::now() - start;
        EXPECT_GE(elapsed, std::chrono::milliseconds(ms));
        EXPECT_LT(elapsed, std::chrono::milliseconds(ms) + std::chrono::seconds(5));
        EXPECT_FALSE(std::async(std::launch::async, [this] { return osMutexLock(mutex, true); }).get());
    }
    osMutexUnlock(mutex);
}

TEST_F(OsConditionTest, BroadcastWakesEveryWaiterAndSignalAtLeastOne)
{
    constexpr int WAITERS = 4;
    int woken = 0;  // guarded by mutex
    std::vector<std::future<bool>> results;
    for (int i = 0; i < WAITERS; ++i) {
        results.push_back(std::async(std::launch::async, [this, &woken] {
            osMutexLock(mutex, false);
            ++waiting;
            bool allTrue = true;
            do {
                allTrue = osConditionWait(condition, -1) && allTrue;
                ++woken;
            } while (!released);
            osMutexUnlock(mutex);
            return allTrue;
        }));
    }
    awaitWaiters(WAITERS);
    osConditionSignal(condition);
    for (int seen = 0; seen == 0; std::this_thread::yield()) {
        osMutexLock(mutex, false);
        seen = woken;
        osMutexUnlock(mutex);
    }

    osMutexLock(mutex, false);  // the owner may broadcast too: the mutex is recursive
    released = true;
    osConditionBroadcast(condition);
    osMutexUnlock(mutex);
    for (auto& result : results) {
        if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "a waiter missed the broadcast";
            while (result.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
                osConditionBroadcast(condition);  // let the test end
            }
        }
        EXPECT_TRUE(result.get());
    }
}

TEST(OsPosixGetTimeInTest, AddsMillisecondsWithCarry)
{
    const timespec now = {10, 800000000};
    timespec deadline = internal::deadlineAfter(now, 1500);
    EXPECT_EQ(deadline.tv_sec, 12);
    EXPECT_EQ(deadline.tv_nsec, 300000000);
    deadline = internal::deadlineAfter(now, 999);
    EXPECT_EQ(deadline.tv_sec, 11);
    EXPECT_EQ(deadline.tv_nsec, 799000000);
    deadline = internal::deadlineAfter({5, 999999999}, 1);
    EXPECT_EQ(deadline.tv_sec, 6);
    EXPECT_EQ(deadline.tv_nsec, 999999);

    osPosixGetTimeIn(&deadline, -1);
    EXPECT_EQ(deadline.tv_sec, 2147483647);
    EXPECT_EQ(deadline.tv_nsec, 2147483647);

    timespec before;
    clock_gettime(CLOCK_MONOTONIC, &before);
    osPosixGetTimeIn(&deadline, 250);
    const long long inNs =
        (deadline.tv_sec - before.tv_sec) * 1000000000LL + (deadline.tv_nsec - before.tv_nsec);
    EXPECT_GE(inNs, 250000000LL);
    EXPECT_LT(inNs, 1250000000LL);
    EXPECT_LT(deadline.tv_nsec, 1000000000L);
}

TEST(OsConditionDeathTest, WaitBelowMinusOneStops)
{
    osMutex_t mutex = osMutexCreate();
    osCondition_t condition = osConditionCreate(mutex);
    EXPECT_DEATH(osConditionWait(condition, -2),
                 "bool halvix::os::osConditionWait\\(halvix::os::osCondition_t, long int\\): "
                 "Assertion `numMs >= -1' failed");
    osConditionDestroy(condition);
    osMutexDestroy(mutex);
}

}  // namespace
