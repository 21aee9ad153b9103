// A snapshot dumped on a signal, and the OS thread names of Tasks and Timers.
#include <halvix/observe/Observe.h>

#include "ObserveTestSupport.h"
#include "task/TaskTestSupport.h"
#include "timer/TimerTestSupport.h"

#include <halvix/task/Task.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <set>

namespace {

using namespace halvix::test;
namespace observe = halvix::observe;

std::set<std::string> threadNames()
{
    std::set<std::string> names;
    DIR* tasks = opendir("/proc/self/task");
    while (dirent* entry = readdir(tasks)) {
        std::string name = fileText(std::string("/proc/self/task/") + entry->d_name + "/comm");
        if (!name.empty() && name.back() == '\n') {
            name.pop_back();
        }
        names.insert(name);
    }
    closedir(tasks);
    return names;
}

TEST(DumpOnSignal, ASignalWritesTheSnapshotWhileTheServiceKeepsRunning)
{
    const std::string first = scratchPath("first.json");
    const std::string second = scratchPath("second.json");
    Consumer service("obs-service");
    ASSERT_TRUE(observe::dumpOnSignal(SIGUSR1, first));
    ASSERT_TRUE(observe::dumpOnSignal(SIGUSR1, second));  // replaces the path
    ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
    ASSERT_TRUE(eventually([&second] { return access(second.c_str(), F_OK) == 0; }));
    const Json snap = Json::parse(fileText(second));
    EXPECT_EQ(entryNamed(snap, "tasks", "obs-service")["state"], "RUNNING");
    EXPECT_NE(access(first.c_str(), F_OK), 0);
    // The service was not stopped: it still runs its work.
    EXPECT_EQ(onTaskThread<int>(service.task, [] { return 7; }), 7);
    std::remove(second.c_str());
}

TEST(DumpOnSignal, RefusesSignalsThatCannotBeCaughtAndAnEmptyPath)
{
    EXPECT_FALSE(observe::dumpOnSignal(SIGKILL, scratchPath("kill.json")));
    EXPECT_FALSE(observe::dumpOnSignal(SIGSTOP, scratchPath("stop.json")));
    EXPECT_FALSE(observe::dumpOnSignal(0, scratchPath("zero.json")));
    EXPECT_FALSE(observe::dumpOnSignal(SIGUSR2, ""));
}

TEST(ThreadNames, TaskAndTimerThreadsShowTheirFirst15BytesOnlyWhenSwitchedOn)
{
    {
        Consumer before("obs-unnamed-task");
        EXPECT_EQ(threadNames().count("obs-unnamed-tas"), 0u);
    }
    observe::showThreadNames(true);
    {
        Consumer named("obs-named-task-long");
        // Two-byte characters: cutting at 15 bytes would split the eighth.
        Consumer wide("\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4");
        CountingTimer timer(named.queue());
        // Each thread names itself as it starts.
        for (const char* name :
             {"obs-named-task-", "\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4",
              "Timer:obs-named"}) {
            EXPECT_TRUE(eventually([name] { return threadNames().count(name) == 1; })) << name;
        }
    }
    observe::showThreadNames(false);
}

}  // namespace
