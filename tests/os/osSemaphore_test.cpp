#include "halvix/os/osQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <vector>

using namespace halvix::os;
using Clock = std::chrono::steady_clock;

namespace {

TEST(OsSemaphoreTest, CountsUnitsFromAnyInitialValue)
{
    osSemaphore_t semaphore = osSemaphoreCreate(0);
    EXPECT_FALSE(osSemaphoreTake(semaphore, 0));
    osSemaphoreGive(semaphore);
    EXPECT_TRUE(osSemaphoreTake(semaphore, 0));
    EXPECT_FALSE(osSemaphoreTake(semaphore, 0));
    osSemaphoreDestroy(semaphore);

    semaphore = osSemaphoreCreate(2);
    EXPECT_TRUE(osSemaphoreTake(semaphore, 0));
    EXPECT_TRUE(osSemaphoreTake(semaphore, -1));
    EXPECT_FALSE(osSemaphoreTake(semaphore, 0));
    osSemaphoreDestroy(semaphore);

    semaphore = osSemaphoreCreate(-2);  // three gives before the first take
    osSemaphoreGive(semaphore);
    osSemaphoreGive(semaphore);
    EXPECT_FALSE(osSemaphoreTake(semaphore, 0));
    osSemaphoreGive(semaphore);
    EXPECT_TRUE(osSemaphoreTake(semaphore, 0));
    osSemaphoreDestroy(semaphore);
}

TEST(OsSemaphoreTest, TimedTakeWaitsItsTimeAndAGiveWakesABlockedTake)
{
    osSemaphore_t semaphore = osSemaphoreCreate(0);
    for (long ms : {1L, 50L}) {
        const auto start = Clock::now();
        EXPECT_FALSE(osSemaphoreTake(semaphore, ms));
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(ms));
    }
    auto taker = std::async(std::launch::async, [semaphore] { return osSemaphoreTake(semaphore, -1); });
    osSemaphoreGive(semaphore);
    ASSERT_EQ(taker.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(taker.get());
    EXPECT_FALSE(osSemaphoreTake(semaphore, 0));
    osSemaphoreDestroy(semaphore);

    auto start = Clock::now();
    EXPECT_TRUE(__thread_safe_sleep(0));
    EXPECT_TRUE(__thread_safe_sleep(20));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));
}

// Givers and takers race, takers blocking without limit or with short
// time-outs: a lost wake-up would leave a taker asleep with units available.
TEST(OsSemaphoreTest, NoUnitIsLostOrTakenTwiceUnderContention)
{
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    constexpr int PER_THREAD = 5000;
#else
    constexpr int PER_THREAD = 100000;
#endif
    constexpr int THREADS = 3;
    osSemaphore_t semaphore = osSemaphoreCreate(0);
    std::vector<std::future<void>> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.push_back(std::async(std::launch::async, [semaphore] {
            for (int i = 0; i < PER_THREAD; ++i) {
                osSemaphoreGive(semaphore);
            }
        }));
        threads.push_back(std::async(std::launch::async, [semaphore, t] {
            for (int i = 0; i < PER_THREAD; ++i) {
                while (!osSemaphoreTake(semaphore, (i + t) % 2 == 0 ? -1 : 1)) {
                }
            }
        }));
    }
    for (auto& thread : threads) {
        if (thread.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            ADD_FAILURE() << "a taker is stuck";
            for (int i = 0; i < THREADS * PER_THREAD; ++i) {
                osSemaphoreGive(semaphore);  // let the test end
            }
        }
        thread.get();
    }
    EXPECT_FALSE(osSemaphoreTake(semaphore, 0));
    osSemaphoreDestroy(semaphore);
}

TEST(OsSemaphoreDeathTest, TakeBelowMinusOneStops)
{
    osSemaphore_t semaphore = osSemaphoreCreate(1);
    EXPECT_DEATH(osSemaphoreTake(semaphore, -2),
                 "bool halvix::os::osSemaphoreTake\\(halvix::os::osSemaphore_t, long int\\): "
                 "Assertion `lMsBeforeTimeout >= -1' failed");
    osSemaphoreDestroy(semaphore);
}

}  // namespace
