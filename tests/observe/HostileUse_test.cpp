// observe at its edges: sizes past what a count can hold, signals that
// cannot return, signal storms, and a service that forks.
#include <halvix/observe/Observe.h>

#include "ObserveTestSupport.h"
#include "task/TaskTestSupport.h"

#include <halvix/queue/Queue.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

using namespace halvix::test;
using halvix::queue::Queue;
namespace observe = halvix::observe;

bool exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

TEST(ObserveHostileUse, ATimelineWithTheLargestMaxEventsKeepsEveryEvent)
{
    const std::string path = scratchPath("largest.json");
    Consumer consumer("obs-largest");
    ASSERT_TRUE(observe::startTimeline(path, SIZE_MAX));
    // More than a lane takes from the budget at a time.
    constexpr int MACROS = 3000;
    for (int i = 0; i < MACROS; ++i) {
        ASSERT_TRUE(post(consumer.task, [] {}));
    }
    ASSERT_TRUE(eventually([&consumer] { return consumer.task.getExecuted() >= MACROS; }));
    ASSERT_TRUE(observe::stopTimeline());
    const Json trace = Json::parse(fileText(path));
    EXPECT_EQ(trace.at("otherData").at("droppedEvents"), 0);
    std::remove(path.c_str());
}

TEST(ObserveHostileUse, SignalsOfAFaultingInstructionAreRefused)
{
    // A handler that returns from one of these runs the faulting instruction
    // again: a real fault would loop for ever instead of ending the process.
    for (int signo : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
        EXPECT_FALSE(observe::dumpOnSignal(signo, scratchPath("fault.json"))) << signo;
    }
}

TEST(ObserveHostileUse, AStormOfSignalsEndsInAFewSnapshotsNotABacklog)
{
    std::vector<std::unique_ptr<Queue>> queues;
    for (int i = 0; i < 2000; ++i) {
        queues.emplace_back(new Queue("obs-storm-" + std::to_string(i), 2));
    }
    const std::string path = scratchPath("storm.json");
    ASSERT_TRUE(observe::dumpOnSignal(SIGUSR2, path));
    for (int i = 0; i < 10000; ++i) {
        ASSERT_EQ(kill(getpid(), SIGUSR2), 0);
    }
    ASSERT_TRUE(eventually([&path] { return exists(path); }));
    // One snapshot per signal would go on for seconds after the storm.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::remove(path.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(exists(path));
    std::remove(path.c_str());
}

TEST(ObserveHostileUse, AForkedChildsSignalNeverWakesItsParentsWatcher)
{
    const std::string parentPath = scratchPath("fork-parent.json");
    ASSERT_TRUE(observe::dumpOnSignal(SIGUSR1, parentPath));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only async-signal-safe calls from here: the child is no test.
        raise(SIGUSR1);
        usleep(100000);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(exists(parentPath));
    std::remove(parentPath.c_str());
}

// ThreadSanitizer stops a forked child that starts a thread.
#if !defined(__SANITIZE_THREAD__)
// Each round forks a child, which starts a watcher of its own (it forgets its
// parent's) and forks a grandchild at once: the grandchild copies a process
// whose watcher has only just started. A copy taken while that start still
// ran inherited the allocator's lock taken under AddressSanitizer, and the
// grandchild's own watcher never ran.
TEST(ObserveHostileUse, AChildForkedRightAfterTheWatcherStartsDumpsItselfOnceItAsksForIt)
{
    if (underEmulation()) {
        // qemu-user stops a child of a threaded process that starts a thread
        // of its own (an assertion of the emulator), before the library runs.
        GTEST_SKIP() << "user-mode emulation cannot start threads in a forked child";
    }
    const std::string childPath = scratchPath("fork-child.json");
    for (int round = 0; round < 10; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (!observe::dumpOnSignal(SIGUSR1, scratchPath("fork-unused.json"))) {
                _exit(2);
            }
            const pid_t grandchild = fork();
            if (grandchild == 0) {
                Queue childOnly("obs-fork-child", 2);
                if (!observe::dumpOnSignal(SIGUSR1, childPath) || raise(SIGUSR1) != 0) {
                    _exit(2);
                }
                for (int tries = 0; tries < 5000 && !exists(childPath); ++tries) {
                    usleep(1000);
                }
                _exit(exists(childPath) ? 0 : 1);
            }
            int status = 0;
            const bool ended = grandchild > 0 && waitpid(grandchild, &status, 0) == grandchild;
            _exit(ended && WIFEXITED(status) ? WEXITSTATUS(status) : 3);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_EQ(WEXITSTATUS(status), 0) << "round " << round;
        EXPECT_NE(fileText(childPath).find("obs-fork-child"), std::string::npos);
        std::remove(childPath.c_str());
    }
}
#endif

}  // namespace
