// OS tasks: options and stacks, join and destroy, attached foreign threads, real-time priorities.
#include "halvix/os/osTask.h"

#include "osTestSupport.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <tuple>

using namespace halvix::os;

namespace {

constexpr int64_t kMinimumStack = 131072;
constexpr int64_t kOneMiB = 1 << 20;

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

void* observeSelf(void* promise)
{
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
    static_cast<std::promise<Observation>*>(promise)->set_value(seen);
    return nullptr;
}

// Creates a task (its handle in `task`) and returns what it saw of itself.
Observation observeNewTask(osTaskOptions_t* options, osTask_t& task)
{
    std::promise<Observation> promise;
    std::future<Observation> seen = promise.get_future();
    task = osTaskCreate(observeSelf, options, &promise);
    EXPECT_TRUE(halvix::test::readyWithinBound(seen));
    return seen.get();
}

void* returnArgument(void* arg)
{
    return arg;
}

TEST(OsTask, OptionsAreNormalisedAndTheThreadGetsTheStackItAskedForOrThePlatformDefault)
{
    pthread_attr_t defaults;
    pthread_getattr_default_np(&defaults);
    size_t platformDefault = 0;
    pthread_attr_getstacksize(&defaults, &platformDefault);
    pthread_attr_destroy(&defaults);
    using Case = std::tuple<bool, int64_t, int64_t>;  // joinable (else null options), requested, expected
    for (const auto& [joinable, requested, expected] :
         {Case{false, 0, kMinimumStack}, Case{true, -1, kMinimumStack}, Case{true, 0, kMinimumStack},
          Case{true, 4096, kMinimumStack}, Case{true, kOneMiB, kOneMiB}}) {
        SCOPED_TRACE(std::to_string(joinable) + " " + std::to_string(requested));
        osTaskOptions_t options = joinableOptions(requested);
        osTask_t task = nullptr;
        const Observation seen = observeNewTask(joinable ? &options : nullptr, task);
        EXPECT_EQ(task, seen.self);
        EXPECT_EQ(joinable ? PTHREAD_CREATE_JOINABLE : PTHREAD_CREATE_DETACHED, seen.detachState);
        EXPECT_STREQ(joinable ? "task" : "", seen.options.name);
        EXPECT_EQ(0, seen.options.priority);
        EXPECT_EQ(joinable, seen.options.joinable);
        EXPECT_EQ(joinable, seen.options.persistent);
        EXPECT_EQ(expected, seen.options.stacksize);
        // A request reaches the thread as usable stack, on top of the static
        // TLS (a sanitizer may add room for its own); without one the thread
        // gets the platform's default, while the options read back 131072.
        if (requested > 0) {
            EXPECT_GE(seen.stackSize, static_cast<size_t>(expected));
            EXPECT_LT(seen.stackSize, platformDefault);
        } else {
            EXPECT_GE(seen.stackSize, platformDefault);
        }
        if (joinable) {
            EXPECT_EQ(expected, osTaskGetOptions(task)->stacksize);
            osTaskDestroy(task);
        }
    }
}

// No local whose address is taken: asynchronous cancellation unwinds the frame
// without its epilogue, which AddressSanitizer would see as stale scope poison.
// Hands its kernel thread id over through an atomic store, not a promise:
// a cancellation that arrives while the thread is still inside set_value
// (under qemu-user and load, 1 run in 40) unwinds through a noexcept frame of
// the standard library and ends the process.
void* blockUntilCancelled(void* started)
{
    static_cast<std::atomic<pid_t>*>(started)->store(gettid());
    for (;;) {
        pause();
    }
}

// Whether the thread of kernel id `tid` has ended within a generous limit. A
// cancelled thread unwinds after its canceller returned; under emulation that
// takes long enough to overlap the process's exit, whose teardown of the
// unwinding tables a late unwind does not survive.
bool threadEnds(pid_t tid)
{
    const std::string entry = "/proc/self/task/" + std::to_string(tid);
    for (int i = 0; i < 2000; ++i) {
        if (access(entry.c_str(), F_OK) != 0) {
            return true;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    return false;
}

TEST(OsTask, JoinHandsOverTheResultOnceDestroyJoinsOrCancelsAndTheLifeIsTraced)
{
    osTaskOptions_t options = joinableOptions();
    int marker = 0;
    options.reserved = &marker;
    osTask_t task = nullptr;
    const std::string traces = dbgTracesOf([&] {
        task = osTaskCreate(returnArgument, &options, &marker);
        EXPECT_EQ(&marker, osTaskGetOptions(task)->reserved);
        EXPECT_EQ(&marker, osTaskJoin(task));
        EXPECT_EQ(nullptr, osTaskJoin(task));  // joined before: at once
        osTaskGetPriority(task);
        osTaskGetPriority(osTaskSelf());
        osTaskDestroy(task);  // joined before: does not wait
    });
    const std::string handle = hexText(task);
    for (const std::string& line :
         {"Spawning task. Task object at " + handle + "\n\n", std::string("taskTrampolin "),
          "In task trampoin. hTask at " + handle + "\n", "pOptions->reserved is " + hexText(&marker) + "\n",
          std::string("Requested priority 0\n"), std::string("Actual priority is 0\n"),
          std::string("Simulated priority only\n")}) {  // the last: the attached main thread
        EXPECT_NE(std::string::npos, traces.find(line)) << line;
    }

    // A joinable task not joined yet: destroy waits for the entry to finish.
    std::atomic<bool> finished{false};
    options = joinableOptions();
    task = osTaskCreate(
        [](void* flag) -> void* {
            std::this_thread::sleep_for(milliseconds(30));
            static_cast<std::atomic<bool>*>(flag)->store(true);
            return nullptr;
        },
        &options, &finished);
    osTaskDestroy(task);
    EXPECT_TRUE(finished.load());

    // A running detached task: destroy returns at once, the thread ends by cancellation.
    std::atomic<pid_t> tid{0};
    task = osTaskCreate(blockUntilCancelled, nullptr, &tid);
    ASSERT_TRUE(halvix::test::eventually([&tid] { return tid.load() != 0; }));
    osTaskDestroy(task);
    EXPECT_TRUE(threadEnds(tid.load()));
}

TEST(OsTask, ForeignThreadsGetAnAttachedRecordAndEachThreadItsOwnLastError)
{
    osTask_t mainRecord = osTaskSelf();
    ASSERT_NE(nullptr, mainRecord);
    EXPECT_EQ(mainRecord, osTaskAttach());
    EXPECT_STREQ("", osTaskGetOptions(mainRecord)->name);
    EXPECT_EQ(0, osTaskGetPriority(mainRecord));
    EXPECT_EQ(0, osTaskGetMaxPriority());  // time-sharing: no priorities
    osSetLastError(5);

    std::thread other([mainRecord] {
        osTask_t record = osTaskSelf();
        EXPECT_NE(nullptr, record);
        EXPECT_NE(mainRecord, record);
        EXPECT_FALSE(osIsError());
        osSetLastError(9);
        EXPECT_EQ(9u, osGetLastError());
        osSetLastError(7);
        osTaskDetach();
        EXPECT_FALSE(osIsError());  // a fresh record (maybe at the same address): no error carried over
        osTaskDetach();
    });
    other.join();
    EXPECT_TRUE(osIsError());
    EXPECT_TRUE(osIsError());  // testing does not clear it
    EXPECT_EQ(5u, osGetLastError());
    EXPECT_EQ(0u, osGetLastError());  // reading does
    EXPECT_FALSE(osIsError());
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

TEST(OsTaskRealTime, LayerPrioritiesMapOntoThePolicyRange)
{
    if (!mayCreateFifoThreads()) {
        GTEST_SKIP() << "this process may not create SCHED_FIFO threads (no CAP_SYS_NICE or RT budget)";
    }
    struct TimeSharingAfterwards
    {
        ~TimeSharingAfterwards() { osSetSchedPolicy(osSchedPolicy_t{1, 0, 1}); }
    } restore;
    ASSERT_TRUE(osSetSchedPolicy(osSchedPolicy_t{1, 0, 2}));
    EXPECT_EQ(99, osTaskGetMaxPriority());

    for (int requested : {0, 1, 10}) {
        SCOPED_TRACE(requested);
        const int expected = requested == 0 ? 1 : requested;
        osTaskOptions_t options = joinableOptions(0, requested);
        osTask_t task = nullptr;
        const Observation seen = observeNewTask(&options, task);
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

}  // namespace
