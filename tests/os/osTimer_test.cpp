// OS timers: one firing per start, never early; stop, restart, destroy and default names.
#include "halvix/os/osTimer.h"

#include "halvix/os/src/timerRecord.h"
#include "osTestSupport.h"

#include <gmock/gmock.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace halvix::os;

namespace {

// Collects the firings of one timer, reached from the callback through the timer's data.
struct Recorder
{
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Clock::time_point> firings;  // guarded by mutex
    std::function<void(osTimer_t)> then;     // runs after each firing is recorded, outside the lock

    // The firings once there are `count` of them, or after the bound.
    std::vector<Clock::time_point> waitFor(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, halvix::test::kBound, [&] { return firings.size() >= count; });
        return firings;
    }
};

// Finds its recorder through the handle it is given, so a wrong handle fails.
void record(void* timer)
{
    Recorder* recorder = static_cast<Recorder*>(osTimerGetData(timer));
    osTimerSetData(timer, recorder);  // stops the process if the timer were still armed here
    {
        std::lock_guard<std::mutex> lock(recorder->mutex);
        recorder->firings.push_back(Clock::now());
    }
    recorder->changed.notify_all();
    if (recorder->then) {
        recorder->then(timer);
    }
}

osTimer_t createRecordedTimer(Recorder& recorder)
{
    osTimer_t timer = osTimerCreate(record, nullptr);
    osTimerSetData(timer, &recorder);
    return timer;
}

TEST(OsTimer, FiresOncePerStartNeverEarlyAndStopOrDestroyDisarms)
{
    Recorder recorder;
    osTimer_t timer = createRecordedTimer(recorder);
    osTimerStart(timer, 1000);  // long enough that the stop comes first even on a loaded machine
    std::this_thread::sleep_for(milliseconds(50));
    osTimerStop(timer);
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_TRUE(recorder.waitFor(0).empty());

    Clock::time_point started = Clock::now();
    osTimerStart(timer, 100);
    std::vector<Clock::time_point> firings = recorder.waitFor(1);
    ASSERT_EQ(1u, firings.size());
    EXPECT_GE(since(started, firings[0]), milliseconds(100));
    EXPECT_LT(since(started, firings[0]), milliseconds(100) + kLateness);

    started = Clock::now();  // a start while armed is ignored: the first delay stands
    osTimerStart(timer, 500);
    std::this_thread::sleep_for(milliseconds(10));
    osTimerStart(timer, 20);
    firings = recorder.waitFor(2);
    ASSERT_EQ(2u, firings.size());
    EXPECT_GE(since(started, firings[1]), milliseconds(500));

    started = Clock::now();
    osTimerStart(timer, 0);
    firings = recorder.waitFor(3);
    ASSERT_EQ(3u, firings.size());
    EXPECT_LT(since(started, firings[2]), kLateness);
    osTimerStart(timer, 50);
    osTimerDestroy(timer);  // disarms: no callback after it
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(3u, recorder.waitFor(0).size());  // once per start
}

TEST(OsTimer, ExpiryWaitTracesAsOsConditionWaitAndAZeroDelayDoesNotWait)
{
    Recorder recorder;
    osTimer_t timer = createRecordedTimer(recorder);
    std::string traces = dbgTracesOf([&] {
        osTimerStart(timer, 0);
        recorder.waitFor(1);
    });
    EXPECT_EQ(traces.find("pthread error"), std::string::npos) << traces;
    int noArguments = 0;
    _dbg_init(&noArguments, nullptr);  // the next line names its function whatever came before
    traces = dbgTracesOf([&] {
        osTimerStart(timer, 20);
        recorder.waitFor(2);
    });
    EXPECT_THAT(traces, testing::ContainsRegex("osConditionWait [0-9]+\\} pthread error 110\n")) << traces;
    EXPECT_EQ(traces.find("conditionWaitUntil"), std::string::npos) << traces;
    osTimerDestroy(timer);
}

TEST(OsTimer, WakeUpsWithoutAStopWaitOutTheDelayAndARestartBeforeTheThreadNoticesCounts)
{
    Recorder recorder;
    osTimer_t timer = createRecordedTimer(recorder);
    osPosixTimer_t* timerRecord = static_cast<osPosixTimer_t*>(timer);
    Clock::time_point started = Clock::now();
    osTimerStart(timer, 150);
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(milliseconds(20));
        osConditionBroadcast(timerRecord->condition);  // wakes the thread; nobody stopped it
    }
    std::vector<Clock::time_point> firings = recorder.waitFor(1);
    ASSERT_EQ(1u, firings.size());
    EXPECT_GE(since(started, firings[0]), milliseconds(150));
    EXPECT_LT(since(started, firings[0]), milliseconds(150) + kLateness);

    started = Clock::now();
    osTimerStart(timer, 5000);
    std::this_thread::sleep_for(milliseconds(20));  // let the thread begin its wait
    // Holding the timer's (recursive) mutex keeps the thread from seeing the stop before the new start.
    osMutexLock(timerRecord->mutex, false);
    osTimerStop(timer);
    const Clock::time_point restarted = Clock::now();
    osTimerStart(timer, 50);
    osMutexUnlock(timerRecord->mutex);
    firings = recorder.waitFor(2);
    ASSERT_EQ(2u, firings.size());
    EXPECT_GE(since(restarted, firings[1]), milliseconds(50));
    EXPECT_LT(since(started, firings[1]), milliseconds(4000));
    osTimerDestroy(timer);
    EXPECT_EQ(2u, recorder.waitFor(0).size());
}

TEST(OsTimer, ACallbackThatRestartsItsTimerRepeatsUntilStopped)
{
    constexpr size_t kFirings = 5;
    constexpr long kPeriodMs = 20;
    Recorder recorder;
    std::promise<void> lastFired;
    std::promise<void> stopped;
    std::shared_future<void> stopDone = stopped.get_future().share();
    recorder.then = [&](osTimer_t timer) {
        osTimerStart(timer, kPeriodMs);
        if (recorder.waitFor(0).size() == kFirings) {
            // Held in the callback while the test stops the armed timer, so the
            // stop cannot fall between firing and restart.
            lastFired.set_value();
            stopDone.wait();
        }
    };
    osTimer_t timer = createRecordedTimer(recorder);
    osTimerStart(timer, kPeriodMs);
    ASSERT_TRUE(halvix::test::readyWithinBound(lastFired.get_future()));
    osTimerStop(timer);
    stopped.set_value();
    std::this_thread::sleep_for(milliseconds(5 * kPeriodMs));

    const std::vector<Clock::time_point> firings = recorder.waitFor(0);
    EXPECT_EQ(kFirings, firings.size());
    for (size_t i = 1; i < firings.size(); ++i) {
        EXPECT_GE(since(firings[i - 1], firings[i]), milliseconds(kPeriodMs));
    }
    osTimerDestroy(timer);
}

TEST(OsTimer, DestroyWaitsForARunningCallback)
{
    Recorder busy;
    std::promise<void> entered;
    std::atomic<bool> finished{false};
    busy.then = [&](osTimer_t) {
        entered.set_value();
        std::this_thread::sleep_for(milliseconds(50));
        finished.store(true);
    };
    osTimer_t timer = createRecordedTimer(busy);
    osTimerStart(timer, 0);
    entered.get_future().wait();
    osTimerDestroy(timer);
    EXPECT_TRUE(finished.load());
}

void otherCallback(void*) {}

std::string taskNameOf(osTimer_t timer)
{
    return osTaskGetOptions(osTimerGetTask(timer))->name;
}

// The number of a default name "Timer@<callback>:ID<number>".
long idOf(const std::string& name, void (*callback)(void*))
{
    const std::string prefix = "Timer@" + hexText(reinterpret_cast<void*>(callback)) + ":ID";
    if (name.rfind(prefix, 0) != 0) {
        ADD_FAILURE() << "unexpected default name " << name;
        return -1;
    }
    return std::stol(name.substr(prefix.size()));
}

TEST(OsTimer, DefaultNamesAreNumberedDistinctlyAndGivenOptionsReachTheThread)
{
    const int kPerThread = halvix::test::scaled(16, 16, 4);
    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    const auto create = [start, kPerThread] {
        start.wait();
        std::vector<osTimer_t> made;
        for (int i = 0; i < kPerThread; ++i) {
            made.push_back(osTimerCreate(otherCallback, nullptr));
        }
        return made;
    };
    std::future<std::vector<osTimer_t>> creators[] = {std::async(std::launch::async, create),
                                                      std::async(std::launch::async, create)};
    go.set_value();
    std::set<long> ids;  // numbered one after another, whichever thread asked
    for (auto& creator : creators) {
        for (osTimer_t timer : creator.get()) {
            ids.insert(idOf(taskNameOf(timer), otherCallback));
            osTimerDestroy(timer);
        }
    }
    ASSERT_EQ(static_cast<size_t>(2 * kPerThread), ids.size());
    EXPECT_GE(*ids.begin(), 1);
    EXPECT_EQ(*ids.rbegin() - *ids.begin(), 2 * kPerThread - 1);

    osTimer_t unnamed = osTimerCreate(record, nullptr);
    EXPECT_EQ(nullptr, osTimerGetData(unnamed));
    EXPECT_EQ(*ids.rbegin() + 1, idOf(taskNameOf(unnamed), record));
    EXPECT_EQ(1, osTaskGetOptions(osTimerGetTask(unnamed))->joinable);
    int owner = 0;
    osTaskOptions_t options = {};
    strcpy(options.name, "tick");
    options.reserved = &owner;
    osTimer_t named = osTimerCreate(record, &options);
    const osTaskOptions_t* taskOptions = osTaskGetOptions(osTimerGetTask(named));
    EXPECT_STREQ("tick", taskOptions->name);
    EXPECT_EQ(&owner, taskOptions->reserved);
    EXPECT_EQ(1, taskOptions->joinable);
    osTimerDestroy(named);
    osTimerDestroy(unnamed);
}

}  // namespace
