// The library's threads in a program with more static thread_local data than
// a small stack holds: every thread carries that data at the top of its
// stack, so a request must be usable stack on top of it, and threads without
// a request get the platform's default.
#include <halvix/os/osTask.h>

#include "task/TaskTestSupport.h"

#include <halvix/os/osTimer.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <future>

using namespace halvix::os;

constexpr size_t kThreadDataBytes = 256 * 1024;  // more than the 131072-byte minimum stack
// External and volatile, so that it stays in the program's static TLS.
thread_local volatile unsigned char threadData[kThreadDataBytes];

namespace {

// Recurses until `bytes` of stack below `top` are in use; returns the depth.
// Each frame writes to its stack, so pages beyond the stack's end fault.
__attribute__((noinline)) int descend(uintptr_t top, size_t bytes)
{
    volatile unsigned char frame[512];
    frame[0] = 1;
    frame[sizeof frame - 1] = 1;
    if (top - reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) >= bytes) {
        return frame[0];
    }
    return descend(top, bytes) + frame[sizeof frame - 1];  // not a tail call
}

// On the calling thread: touches the thread data and `stackBytes` of stack.
bool useThreadDataAndStack(size_t stackBytes)
{
    threadData[0] = 1;
    threadData[kThreadDataBytes - 1] = 1;
    return descend(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)), stackBytes) > 0;
}

struct Use
{
    size_t stackBytes;
    std::promise<bool> done;
};

void* useOnTask(void* use)
{
    Use* request = static_cast<Use*>(use);
    request->done.set_value(useThreadDataAndStack(request->stackBytes));
    return nullptr;
}

// Runs useThreadDataAndStack(stackBytes) on a new OS task with the given
// stack size request; true when it got through.
bool useOnNewTask(int64_t stacksize, size_t stackBytes)
{
    osTaskOptions_t options = {"stack", 0, stacksize, 0, 1, nullptr};
    Use use{stackBytes, {}};
    std::future<bool> done = use.done.get_future();
    osTask_t task = osTaskCreate(useOnTask, &options, &use);
    const bool used = halvix::test::readyWithinBound(done) && done.get();
    osTaskDestroy(task);
    return used;
}

TEST(ThreadStacks, ARequestIsUsableStackOnTopOfTheStaticThreadData)
{
    constexpr int64_t kOneMiB = 1 << 20;
    // Nearly all of it: without the thread data on top, a quarter would be gone.
    EXPECT_TRUE(useOnNewTask(kOneMiB, kOneMiB - 128 * 1024));
    EXPECT_TRUE(useOnNewTask(4096, 64 * 1024));  // raised to the minimum
}

TEST(ThreadStacks, WithoutARequestATaskGetsThePlatformDefaultAndMayRecurseDeeply)
{
    EXPECT_TRUE(useOnNewTask(0, 2 << 20));
    EXPECT_TRUE(useOnNewTask(-1, 2 << 20));

    halvix::test::Consumer consumer("deep");
    EXPECT_TRUE(
        halvix::test::onTaskThread<bool>(consumer.task, [] { return useThreadDataAndStack(2 << 20); }));
}

TEST(ThreadStacks, TimerThreadsKeepTheSmallMinimumAndStillCarryTheThreadData)
{
    std::promise<bool> fired;
    osTimer_t timer = osTimerCreate(
        [](void* firing) {
            static_cast<std::promise<bool>*>(osTimerGetData(firing))
                ->set_value(useThreadDataAndStack(32 * 1024));
        },
        nullptr);
    EXPECT_EQ(osTaskGetOptions(osTimerGetTask(timer))->stacksize, 131072);
    osTimerSetData(timer, &fired);
    osTimerStart(timer, 0);
    std::future<bool> done = fired.get_future();
    EXPECT_TRUE(halvix::test::readyWithinBound(done) && done.get());
    osTimerDestroy(timer);
}

}  // namespace
