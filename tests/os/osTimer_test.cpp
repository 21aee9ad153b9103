#include "halvix/os/osTimer.h"

#include "assertionPattern.h"
#include "halvix/os/src/timerRecord.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace halvix::os;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// Late firings are tolerated generously (the machine is shared); early ones never.
constexpr milliseconds kLateness(2000);

// Collects the firings of one timer; reached from the callback through the
// timer's data.
class Recorder
{
public:
    // Runs on the timer thread after the firing is recorded, outside the lock.
    std::function<void(osTimer_t)> then;

    void fire(osTimer_t timer)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_firings.push_back(Clock::now());
        }
        m_changed.notify_all();
        if (then) {
            then(timer);
        }
    }

    bool waitFor(size_t count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_firings.size() >= count; });
    }

    std::vector<Clock::time_point> firings()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_firings;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Clock::time_point> m_firings;
};

// Finds its recorder through the handle it is given, so a wrong handle fails.
void record(void* timer)
{
    Recorder* recorder = static_cast<Recorder*>(osTimerGetData(timer));
    // Stops the process if the timer were still armed during the callback.
    osTimerSetData(timer, recorder);
    recorder->fire(timer);
}

osTimer_t createRecordedTimer(Recorder& recorder)
{
    osTimer_t timer = osTimerCreate(record, nullptr);
    osTimerSetData(timer, &recorder);
    return timer;
}

milliseconds since(Clock::time_point start, Clock::time_point end)
{
    return std::chrono::duration_cast<milliseconds>(end - start);
}

TEST(osTimer, FiresOnceWhenTheDelayHasPassed)
{
    Recorder recorder;
    osTimer_t timer = createRecordedTimer(recorder);

    const Clock::time_point started = Clock::now();
    osTimerStart(timer, 100);
    ASSERT_TRUE(recorder.waitFor(1));
    const milliseconds elapsed = since(started, recorder.firings()[0]);
    EXPECT_GE(elapsed, milliseconds(100));
    EXPECT_LT(elapsed, milliseconds(100) + kLateness);

    const Clock::time_point restarted = Clock::now();
    osTimerStart(timer, 0);
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_LT(since(restarted, recorder.firings()[1]), kLateness);

    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(2u, recorder.firings().size());  // once per start
    osTimerDestroy(timer);
}

TEST(osTimer, StopDisarmsAndAnArmedTimerKeepsItsDelay)
{
    Recorder recorder;
    osTimer_t timer = createRecordedTimer(recorder);

    osTimerStart(timer, 100);
    std::this_thread::sleep_for(milliseconds(50));
    osTimerStop(timer);
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_TRUE(recorder.firings().empty());

    Clock::time_point started = Clock::now();
    osTimerStart(timer, 100);
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_GE(since(started, recorder.firings()[0]), milliseconds(100));

    // A start while armed is ignored: the first delay stands.
    started = Clock::now();
    osTimerStart(timer, 100);
    std::this_thread::sleep_for(milliseconds(10));
    osTimerStart(timer, 20);
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_GE(since(started, recorder.firings()[1]), milliseconds(100));
    osTimerDestroy(timer);
    EXPECT_EQ(2u, recorder.firings().size());
}

TEST(osTimer, StopThenStartBeforeTheThreadNoticesUsesTheNewDelay)
{
    Recorder recorder;
    osTimer_t timer = createRecordedTimer(recorder);
    osPosixTimer_t* record = static_cast<osPosixTimer_t*>(timer);

    const Clock::time_point first = Clock::now();
    osTimerStart(timer, 5000);
    std::this_thread::sleep_for(milliseconds(20));  // let the thread begin its wait
    // Holding the timer's (recursive) mutex keeps the thread from seeing the
    // stop before the new start.
    osMutexLock(record->mutex, false);
    osTimerStop(timer);
    const Clock::time_point second = Clock::now();
    osTimerStart(timer, 50);
    osMutexUnlock(record->mutex);

    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_GE(since(second, recorder.firings()[0]), milliseconds(50));
    EXPECT_LT(since(first, recorder.firings()[0]), milliseconds(4000));
    osTimerDestroy(timer);
    EXPECT_EQ(1u, recorder.firings().size());
}

TEST(osTimer, AWakeUpWithoutAStopWaitsOutTheRestOfTheDelay)
{
    Recorder recorder;
    osTimer_t timer = createRecordedTimer(recorder);
    osPosixTimer_t* record = static_cast<osPosixTimer_t*>(timer);

    const Clock::time_point started = Clock::now();
    osTimerStart(timer, 150);
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(milliseconds(20));
        osConditionBroadcast(record->condition);  // wakes the thread; nobody stopped it
    }
    ASSERT_TRUE(recorder.waitFor(1));
    const milliseconds elapsed = since(started, recorder.firings()[0]);
    EXPECT_GE(elapsed, milliseconds(150));
    EXPECT_LT(elapsed, milliseconds(150) + kLateness);

    // Still usable afterwards: the wake-ups left no armed-but-dead timer.
    osTimerStart(timer, 10);
    EXPECT_TRUE(recorder.waitFor(2));
    osTimerDestroy(timer);
}

TEST(osTimer, ACallbackThatRestartsItsTimerRepeatsUntilStopped)
{
    constexpr size_t kFirings = 5;
    constexpr long kPeriodMs = 20;
    Recorder recorder;
    std::promise<void> fifthFired;
    std::promise<void> stopped;
    std::shared_future<void> stopDone = stopped.get_future().share();
    recorder.then = [&](osTimer_t timer) {
        osTimerStart(timer, kPeriodMs);
        if (recorder.firings().size() == kFirings) {
            // Hold the thread in the callback while the test stops the armed
            // timer, so the stop cannot fall between firing and restart.
            fifthFired.set_value();
            stopDone.wait();
        }
    };
    osTimer_t timer = createRecordedTimer(recorder);

    osTimerStart(timer, kPeriodMs);
    ASSERT_EQ(std::future_status::ready, fifthFired.get_future().wait_for(std::chrono::seconds(10)));
    osTimerStop(timer);
    stopped.set_value();
    std::this_thread::sleep_for(milliseconds(5 * kPeriodMs));

    const std::vector<Clock::time_point> firings = recorder.firings();
    EXPECT_EQ(kFirings, firings.size());
    for (size_t i = 1; i < firings.size(); ++i) {
        EXPECT_GE(since(firings[i - 1], firings[i]), milliseconds(kPeriodMs));
    }
    osTimerDestroy(timer);
}

TEST(osTimer, DestroyNeverCallsBackAndWaitsForARunningCallback)
{
    Recorder armed;
    osTimer_t timer = createRecordedTimer(armed);
    osTimerStart(timer, 50);
    osTimerDestroy(timer);
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_TRUE(armed.firings().empty());

    Recorder busy;
    std::promise<void> entered;
    std::atomic<bool> finished{false};
    busy.then = [&](osTimer_t) {
        entered.set_value();
        std::this_thread::sleep_for(milliseconds(50));
        finished.store(true);
    };
    timer = createRecordedTimer(busy);
    osTimerStart(timer, 0);
    entered.get_future().wait();
    osTimerDestroy(timer);
    EXPECT_TRUE(finished.load());
}

void otherCallback(void*) {}

long idOf(const char* name, void (*callback)(void*))
{
    char prefix[64];
    snprintf(prefix, sizeof(prefix), "Timer@%p:ID", reinterpret_cast<void*>(callback));
    const std::string text(name);
    if (text.rfind(prefix, 0) != 0) {
        ADD_FAILURE() << "unexpected default name " << text;
        return -1;
    }
    return std::stol(text.substr(strlen(prefix)));
}

TEST(osTimer, DefaultNamesAreNumberedAndGivenOptionsReachTheThread)
{
    osTimer_t first = osTimerCreate(record, nullptr);
    osTimer_t second = osTimerCreate(otherCallback, nullptr);
    const long firstId = idOf(osTaskGetOptions(osTimerGetTask(first))->name, record);
    EXPECT_GE(firstId, 1);
    EXPECT_EQ(firstId + 1, idOf(osTaskGetOptions(osTimerGetTask(second))->name, otherCallback));
    EXPECT_EQ(nullptr, osTimerGetData(first));
    EXPECT_EQ(1, osTaskGetOptions(osTimerGetTask(first))->joinable);

    int owner = 0;
    osTaskOptions_t options = {};
    snprintf(options.name, sizeof(options.name), "tick");
    options.reserved = &owner;
    osTimer_t named = osTimerCreate(record, &options);
    osTaskOptions_t* taskOptions = osTaskGetOptions(osTimerGetTask(named));
    EXPECT_STREQ("tick", taskOptions->name);
    EXPECT_EQ(&owner, taskOptions->reserved);
    EXPECT_EQ(1, taskOptions->joinable);

    osTimerDestroy(named);
    osTimerDestroy(second);
    osTimerDestroy(first);
}

TEST(osTimer, TimersCreatedConcurrentlyGetDistinctNames)
{
#if defined(__SANITIZE_THREAD__)
    constexpr int kPerThread = 4;
#else
    constexpr int kPerThread = 16;
#endif
    std::vector<osTimer_t> timers[2];
    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    std::thread creators[2];
    for (int t = 0; t < 2; ++t) {
        creators[t] = std::thread([&, t] {
            start.wait();
            for (int i = 0; i < kPerThread; ++i) {
                timers[t].push_back(osTimerCreate(otherCallback, nullptr));
            }
        });
    }
    go.set_value();
    std::set<std::string> names;
    for (int t = 0; t < 2; ++t) {
        creators[t].join();
        for (osTimer_t timer : timers[t]) {
            names.insert(osTaskGetOptions(osTimerGetTask(timer))->name);
            osTimerDestroy(timer);
        }
    }
    EXPECT_EQ(static_cast<size_t>(2 * kPerThread), names.size());
}

using osTimerDeathTest = testing::Test;

TEST(osTimerDeathTest, BrokenPreconditionsStopTheProcess)
{
    EXPECT_DEATH(
        osTimerStart(osTimerCreate(otherCallback, nullptr), -1),
        assertionPattern("void halvix::os::osTimerStart(halvix::os::osTimer_t, long int)", "numMs >= 0"));
    EXPECT_DEATH(
        {
            osTimer_t timer = osTimerCreate(otherCallback, nullptr);
            osTimerStart(timer, 60000);
            osTimerSetData(timer, &timer);
        },
        assertionPattern("void halvix::os::osTimerSetData(halvix::os::osTimer_t, void*)",
                         "! (pTimer->running)"));
}

}  // namespace
