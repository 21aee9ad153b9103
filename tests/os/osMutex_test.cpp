#include "halvix/os/osMutex.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <string>

using namespace halvix::os;

// An unlock by a thread that does not hold the mutex, and the destruction of
// a held mutex, are what these tests provoke on purpose; ThreadSanitizer
// would report them as misuse.
extern "C" const char* __tsan_default_suppressions()
{
    return "mutex:osMutexUnlock\nmutex:osMutexDestroy\n";
}

namespace {

// Try-locks `mutex` on another thread (releasing it again on success).
bool tryLockFromOtherThread(osMutex_t mutex)
{
    return std::async(std::launch::async,
                      [mutex] {
                          const bool held = osMutexLock(mutex, true);
                          if (held) {
                              osMutexUnlock(mutex);
                          }
                          return held;
                      })
        .get();
}

TEST(OsMutexTest, IsRecursiveAndTryLockRespectsOtherOwners)
{
    osMutex_t mutex = osMutexCreate();
    ASSERT_NE(mutex, nullptr);
    EXPECT_TRUE(tryLockFromOtherThread(mutex));

    EXPECT_TRUE(osMutexLock(mutex, false));
    EXPECT_TRUE(osMutexLock(mutex, true));  // the owner locks again: the hold count grows
    EXPECT_FALSE(tryLockFromOtherThread(mutex));
    osMutexUnlock(mutex);
    EXPECT_FALSE(tryLockFromOtherThread(mutex));  // still held once
    osMutexUnlock(mutex);
    EXPECT_TRUE(tryLockFromOtherThread(mutex));
    osMutexDestroy(mutex);
}

TEST(OsMutexTest, UnlockByNonOwnerReportsEpermOnStandardOutputAndGoesOn)
{
    osMutex_t mutex = osMutexCreate();
    osMutexLock(mutex, false);
    testing::internal::CaptureStdout();
    std::async(std::launch::async, [mutex] { osMutexUnlock(mutex); }).get();
    const std::string report = testing::internal::GetCapturedStdout();

    char head[64];
    snprintf(head, sizeof head, " pthread_mutex_unlock(%p) (TID ", mutex);
    EXPECT_THAT(report, testing::HasSubstr(head));
    EXPECT_THAT(report, testing::MatchesRegex(
                            "posixMutex\\.c:[0-9]+ pthread_mutex_unlock\\([^)]*\\) \\(TID -?[0-9]+\\) "
                            "returned 1 == EPERM - Thread does not own mutex\n"
                            "Backtrace:\n(\\[bt\\]\\[[0-9]+\\] [^\n]*\n)+--------\n"));
    size_t frames = 0;
    for (size_t at = report.find("[bt]["); at != std::string::npos; at = report.find("[bt][", at + 1)) {
        ++frames;
    }
    EXPECT_GE(frames, 1u);
    EXPECT_LE(frames, 16u);
    EXPECT_THAT(report, testing::HasSubstr("[bt][0] "));

    // The owner's hold is intact.
    EXPECT_FALSE(tryLockFromOtherThread(mutex));
    osMutexUnlock(mutex);
    osMutexDestroy(mutex);
}

TEST(OsMutexDeathTest, DestroyingAHeldMutexStops)
{
    EXPECT_DEATH(
        {
            osMutex_t mutex = osMutexCreate();
            osMutexLock(mutex, false);
            osMutexDestroy(mutex);
        },
        "void halvix::os::osMutexDestroy\\(halvix::os::osMutex_t\\): Assertion `status == 0' failed");
}

}  // namespace
