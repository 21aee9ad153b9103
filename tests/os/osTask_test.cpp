#include "halvix/os/osTask.h"

#include "assertionPattern.h"
#include "halvix/dbg/dbg.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

using namespace halvix::os;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int64_t kMinimumStack = 131072;
constexpr int64_t kOneMiB = 1 << 20;
constexpr char OS_TASK_CREATE[] =
    "void* halvix::os::osTaskCreate(halvix::os::osTaskEntry_t, halvix::os::osTaskOptions_t*, void*)";
constexpr char OS_TASK_JOIN[] = "void* halvix::os::osTaskJoin(halvix::os::osTask_t)";

// What a task saw of itself, from inside its own thread.
struct Observation
{
    osTask_t self = nullptr;
    osTaskOptions_t options = {};
    size_t stackSize = 0;
    int detachState = -1;
    int policy = -1;
    int posixPriority = -1;
};

struct Probe
{
    std::promise<Observation> seen;
    void* result = nullptr;  // what the entry returns
};

void* observeSelf(void* arg)
{
    Probe* probe = static_cast<Probe*>(arg);
    Observation seen;
    seen.self = osTaskSelf();
    seen.options = *osTaskGetOptions(seen.self);
    pthread_attr_t attributes;
    pthread_getattr_np(pthread_self(), &attributes);
    pthread_attr_getstacksize(&attributes, &seen.stackSize);
    pthread_attr_getdetachstate(&attributes, &seen.detachState);
    pthread_attr_destroy(&attributes);
    sched_param param;
    pthread_getschedparam(pthread_self(), &seen.policy, &param);
    seen.posixPriority = param.sched_priority;
    void* result = probe->result;
    probe->seen.set_value(seen);  // the probe may be gone after this
    return result;
}

Observation awaitObservation(Probe& probe)
{
    std::future<Observation> seen = probe.seen.get_future();
    EXPECT_EQ(std::future_status::ready, seen.wait_for(std::chrono::seconds(10)));
    return seen.get();
}

size_t defaultStackSize()
{
    pthread_attr_t attributes;
    pthread_getattr_default_np(&attributes);
    size_t size = 0;
    pthread_attr_getstacksize(&attributes, &size);
    pthread_attr_destroy(&attributes);
    return size;
}

osTaskOptions_t joinableOptions(const char* name, int64_t stacksize)
{
    osTaskOptions_t options = {};
    strncpy(options.name, name, sizeof(options.name) - 1);
    options.stacksize = stacksize;
    options.joinable = 1;
    return options;
}

TEST(osTask, OptionsAreNormalisedAndTheThreadGetsTheStackItAskedFor)
{
    const size_t platformDefault = defaultStackSize();

    Probe detached;
    osTask_t handle = osTaskCreate(observeSelf, nullptr, &detached);
    Observation seen = awaitObservation(detached);
    EXPECT_EQ(handle, seen.self);
    EXPECT_EQ(PTHREAD_CREATE_DETACHED, seen.detachState);
    EXPECT_STREQ("", seen.options.name);
    EXPECT_EQ(0, seen.options.priority);
    EXPECT_EQ(0, seen.options.joinable);
    EXPECT_EQ(0, seen.options.persistent);
    EXPECT_EQ(kMinimumStack, seen.options.stacksize);

    for (int64_t requested : {int64_t{-1}, int64_t{0}, int64_t{4096}, kOneMiB}) {
        SCOPED_TRACE(requested);
        const int64_t expected = requested == kOneMiB ? kOneMiB : kMinimumStack;
        osTaskOptions_t options = joinableOptions("worker", requested);
        Probe probe;
        osTask_t task = osTaskCreate(observeSelf, &options, &probe);
        seen = awaitObservation(probe);
        EXPECT_EQ(task, seen.self);
        EXPECT_EQ(PTHREAD_CREATE_JOINABLE, seen.detachState);
        EXPECT_STREQ("worker", seen.options.name);
        EXPECT_EQ(1, seen.options.persistent);
        EXPECT_EQ(expected, seen.options.stacksize);
        EXPECT_EQ(expected, osTaskGetOptions(task)->stacksize);
        // The request reaches the thread (a sanitizer may add room for its own
        // thread-local data), instead of the platform's default stack.
        EXPECT_GE(seen.stackSize, static_cast<size_t>(expected));
        EXPECT_LT(seen.stackSize, platformDefault);
        osTaskDestroy(task);
    }
}

void* returnArgument(void* arg)
{
    return arg;
}

TEST(osTask, JoinHandsOverTheResultOnceAndDestroyJoinsFirst)
{
    osTaskOptions_t options = joinableOptions("joiner", 0);
    int marker = 0;
    options.reserved = &marker;
    osTask_t task = osTaskCreate(returnArgument, &options, &marker);
    EXPECT_EQ(&marker, osTaskGetOptions(task)->reserved);
    EXPECT_EQ(&marker, osTaskJoin(task));
    EXPECT_EQ(nullptr, osTaskJoin(task));  // joined before: at once
    osTaskDestroy(task);                   // joined before: does not wait

    // Destroy without a join waits for the entry to finish.
    struct Slow
    {
        std::promise<void> release;
        std::atomic<bool> finished{false};
    } slow;
    osTaskOptions_t slowOptions = joinableOptions("slow", 0);
    osTask_t slowTask = osTaskCreate(
        [](void* arg) -> void* {
            Slow* state = static_cast<Slow*>(arg);
            state->release.get_future().wait();
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            state->finished.store(true);
            return nullptr;
        },
        &slowOptions, &slow);
    slow.release.set_value();
    osTaskDestroy(slowTask);
    EXPECT_TRUE(slow.finished.load());
}

// Keeps no local whose address is taken: asynchronous cancellation unwinds
// the frame without its epilogue, which AddressSanitizer would otherwise see
// as stale scope poison on the dead thread's stack.
void* blockUntilCancelled(void* arg)
{
    static_cast<std::atomic<bool>*>(arg)->store(true);
    for (;;) {
        pause();
    }
}

bool awaitFlag(const std::atomic<bool>& flag)
{
    const Clock::time_point limit = Clock::now() + std::chrono::seconds(10);
    while (!flag.load() && Clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return flag.load();
}

TEST(osTask, DestroyCancelsARunningDetachedTask)
{
    std::atomic<bool> started{false};
    osTask_t task = osTaskCreate(blockUntilCancelled, nullptr, &started);
    ASSERT_TRUE(awaitFlag(started));
    osTaskDestroy(task);  // returns at once; the thread ends by cancellation
}

TEST(osTask, ThreadsTheLibraryDidNotCreateGetAnAttachedRecord)
{
    osTask_t mainRecord = osTaskSelf();
    ASSERT_NE(nullptr, mainRecord);
    EXPECT_EQ(mainRecord, osTaskSelf());
    EXPECT_EQ(mainRecord, osTaskAttach());
    EXPECT_STREQ("", osTaskGetOptions(mainRecord)->name);
    EXPECT_EQ(0, osTaskGetPriority(mainRecord));

    std::thread other([mainRecord] {
        osTask_t record = osTaskSelf();
        EXPECT_NE(nullptr, record);
        EXPECT_NE(mainRecord, record);
        EXPECT_EQ(record, osTaskSelf());
        EXPECT_EQ(0, osTaskGetOptions(record)->priority);
        osSetLastError(7);
        osTaskDetach();
        // A fresh record (the address may well be reused): no error carried over.
        EXPECT_FALSE(osIsError());
        osTaskDetach();
    });
    other.join();
}

TEST(osTask, LastErrorBelongsToTheCallingThread)
{
    osSetLastError(5);
    EXPECT_TRUE(osIsError());
    EXPECT_TRUE(osIsError());  // testing does not clear it

    std::thread other([] {
        EXPECT_FALSE(osIsError());
        osSetLastError(9);
        EXPECT_EQ(9u, osGetLastError());
        osTaskDetach();
    });
    other.join();

    EXPECT_EQ(5u, osGetLastError());
    EXPECT_EQ(0u, osGetLastError());
    EXPECT_FALSE(osIsError());
}

TEST(osTask, FixedAnswersAndSleeps)
{
    EXPECT_EQ(-1, osTaskIsInInterruptContext());
    EXPECT_EQ(0, osTaskGetMaxPriority());  // time-sharing: no priorities

    Clock::time_point start = Clock::now();
    osTaskSleep(nullptr, 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));

    start = Clock::now();
    osTaskSleep(nullptr, 20);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));
}

TEST(osTask, TracesTheTaskLifeAtLogLevel)
{
    _dbg_set_mask("dbg");
    _dbg_set_level(DBG_LEVEL_LOG);
    testing::internal::CaptureStderr();
    osTaskOptions_t options = joinableOptions("traced", 0);
    options.reserved = reinterpret_cast<void*>(0x1234);
    osTask_t task = osTaskCreate(returnArgument, &options, nullptr);
    osTaskJoin(task);
    osTaskGetPriority(task);
    osTaskGetPriority(osTaskSelf());
    osTaskDestroy(task);
    const std::string traces = testing::internal::GetCapturedStderr();
    _dbg_set_level(DBG_LEVEL_WARN);
    _dbg_set_mask("");

    char handle[32];
    snprintf(handle, sizeof(handle), "%p", task);
    EXPECT_NE(std::string::npos,
              traces.find(std::string("Spawning task. Task object at ") + handle + "\n\n"));
    EXPECT_NE(std::string::npos, traces.find(std::string("taskTrampolin ")));
    EXPECT_NE(std::string::npos, traces.find(std::string("In task trampoin. hTask at ") + handle + "\n"));
    EXPECT_NE(std::string::npos, traces.find("pOptions->reserved is 0x1234\n"));
    EXPECT_NE(std::string::npos, traces.find("Requested priority 0\n"));
    EXPECT_NE(std::string::npos, traces.find("Actual priority is 0\n"));
    EXPECT_NE(std::string::npos, traces.find("Simulated priority only\n"));  // the attached main thread
}

// Real-time threads need a privilege that CI machines may lack; ask the
// platform directly, since osTaskCreate stops the process when refused.
bool mayCreateFifoThreads()
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attributes, SCHED_FIFO);
    sched_param param = {};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    pthread_attr_setschedparam(&attributes, &param);
    pthread_t thread;
    const int status = pthread_create(&thread, &attributes, returnArgument, nullptr);
    pthread_attr_destroy(&attributes);
    if (status == 0) {
        pthread_join(thread, nullptr);
    }
    return status == 0;
}

// Puts tasks back on time-sharing, whatever the test did.
struct TimeSharingTasksAfterwards
{
    ~TimeSharingTasksAfterwards() { osSetSchedPolicy(osSchedPolicy_t{1, 0, 1}); }
};

TEST(osTaskRealTime, LayerPrioritiesMapOntoThePolicyRange)
{
    if (!mayCreateFifoThreads()) {
        GTEST_SKIP() << "this process may not create SCHED_FIFO threads (no CAP_SYS_NICE or RT budget)";
    }
    TimeSharingTasksAfterwards restore;
    ASSERT_TRUE(osSetSchedPolicy(osSchedPolicy_t{1, 0, 2}));
    EXPECT_EQ(99, osTaskGetMaxPriority());

    for (int requested : {0, 1, 10}) {
        SCOPED_TRACE(requested);
        const int expected = requested == 0 ? 1 : requested;
        osTaskOptions_t options = joinableOptions("realtime", 0);
        options.priority = requested;
        Probe probe;
        osTask_t task = osTaskCreate(observeSelf, &options, &probe);
        Observation seen = awaitObservation(probe);
        EXPECT_EQ(SCHED_FIFO, seen.policy);
        EXPECT_EQ(expected + sched_get_priority_min(SCHED_FIFO) - 1, seen.posixPriority);
        EXPECT_EQ(expected, osTaskGetPriority(task));

        osTaskSetPriority(task, 50);
        EXPECT_EQ(50, osTaskGetPriority(task));
        osTaskSetPriority(task, 0);  // the lowest, as at creation
        EXPECT_EQ(1, osTaskGetPriority(task));
        osTaskDestroy(task);
    }
}

void* joinOwnTask(void*)
{
    return osTaskJoin(osTaskSelf());
}

using osTaskDeathTest = testing::Test;

TEST(osTaskDeathTest, BrokenPreconditionsStopTheProcess)
{
    EXPECT_DEATH(
        {
            osTaskOptions_t options = joinableOptions("bad", -2);
            osTaskCreate(returnArgument, &options, nullptr);
        },
        assertionPattern(OS_TASK_CREATE, "pTask->options.stacksize >= -1"));
    EXPECT_DEATH(
        {
            osSetSchedPolicy(osSchedPolicy_t{1, 0, 2});  // no privilege needed: the check comes first
            osTaskOptions_t options = joinableOptions("bad", 0);
            options.priority = 100;
            osTaskCreate(returnArgument, &options, nullptr);
        },
        assertionPattern(
            OS_TASK_CREATE,
            "(pTask->options.priority >= 1) && (pTask->options.priority <= osTaskGetMaxPriority())"));
    EXPECT_DEATH(
        {
            std::atomic<bool> started{false};
            osTask_t task = osTaskCreate(blockUntilCancelled, nullptr, &started);
            awaitFlag(started);
            osTaskJoin(task);
        },
        assertionPattern(OS_TASK_JOIN, "pTask->options.joinable"));
    EXPECT_DEATH(
        {
            osTaskOptions_t options = joinableOptions("self", 0);
            osTaskJoin(osTaskCreate(joinOwnTask, &options, nullptr));
        },
        assertionPattern(OS_TASK_JOIN, "osTaskSelf() != task"));
    EXPECT_DEATH(
        osTaskSleep(nullptr, -1),
        assertionPattern("void halvix::os::osTaskSleep(halvix::os::osTask_t, long int)", "numMs >= 0"));
}

}  // namespace
