// The execution timeline: events per macro, timer and full-queue wait, its bound and its stop.
#include <halvix/observe/Observe.h>

#include "ObserveTestSupport.h"
#include "task/TaskTestSupport.h"
#include "timer/TimerTestSupport.h"

#include <halvix/queue/Queue.h>
#include <halvix/task/Task.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace halvix::test;
using halvix::command::Macro;
using halvix::queue::Queue;
using halvix::task::Task;
namespace observe = halvix::observe;

// The file's events of phase `ph` (and category `cat`, when given).
std::vector<Json> eventsOf(const Json& trace, const std::string& ph, const std::string& cat = "")
{
    std::vector<Json> found;
    for (const Json& event : trace.at("traceEvents")) {
        if (event.at("ph") == ph && (cat.empty() || event.value("cat", "") == cat)) {
            found.push_back(event);
        }
    }
    return found;
}

// Lane names by tid, from the thread-name metadata.
std::map<int, std::string> laneNames(const Json& trace)
{
    std::map<int, std::string> names;
    for (const Json& event : eventsOf(trace, "M")) {
        if (event.at("name") == "thread_name") {
            names[event.at("tid")] = event.at("args").at("name");
        }
    }
    return names;
}

// Runs a macro named `name` doing `body` on `task` and waits until it has ended.
void runOn(
    Task& task, const std::string& name, std::function<void()> body = [] {})
{
    const uint64_t before = task.getExecuted();
    ASSERT_TRUE(task.getEventQueuePtr()->write(macroOf(name, std::move(body)), -1));
    ASSERT_TRUE(eventually([&task, before] { return task.getExecuted() > before; }));
}

TEST(Timeline, ThreeMacrosOnTwoTasksGiveThreeCompleteEventsOnTwoNamedLanesInOrder)
{
    const std::string path = scratchPath("three.json");
    auto alpha = std::make_unique<Consumer>("obs-alpha");
    auto beta = std::make_unique<Consumer>("obs-beta");
    const auto recordingBegan = std::chrono::steady_clock::now();
    ASSERT_TRUE(observe::startTimeline(path, 1000));
    EXPECT_FALSE(observe::startTimeline(path, 1000));  // one recording at a time
    runOn(alpha->task, "first");
    runOn(beta->task, "second", [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
    runOn(alpha->task, "third \xe2\x82\xac");
    // Both threads end before the file is written: their events stay.
    alpha.reset();
    beta.reset();
    ASSERT_TRUE(observe::stopTimeline());
    const double recordingUs =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - recordingBegan).count();
    EXPECT_FALSE(observe::stopTimeline());

    const Json trace = Json::parse(fileText(path));
    const auto macros = eventsOf(trace, "X", "macro");
    ASSERT_EQ(macros.size(), 3u);
    const auto names = laneNames(trace);
    std::vector<std::string> order;
    std::vector<std::string> lanes;
    for (const Json& event : macros) {
        order.push_back(event.at("name"));
        lanes.push_back(names.at(event.at("tid")));
        EXPECT_GE(event.at("dur").get<double>(), 0.0);
        EXPECT_EQ(event.at("pid"), getpid());
    }
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "third \xe2\x82\xac"}));
    EXPECT_EQ(lanes, (std::vector<std::string>{"obs-alpha", "obs-beta", "obs-alpha"}));
    EXPECT_LE(macros[0]["ts"].get<double>() + macros[0]["dur"].get<double>(), macros[1]["ts"].get<double>());
    // Ticks of the CPU's counter become time at a rate measured to a part
    // in ten thousand: the 20 ms macro lasts that long, less 2 us at most.
    EXPECT_GE(macros[1]["dur"].get<double>(), 20000.0 - 2.0);
    EXPECT_GE(macros[2]["ts"].get<double>(), macros[1]["ts"].get<double>() + 20000.0 - 2.0);
    EXPECT_LE(macros[2]["ts"].get<double>() + macros[2]["dur"].get<double>(), recordingUs * 1.0001 + 2.0);
    EXPECT_EQ(trace.at("otherData").at("droppedEvents"), 0);
    std::remove(path.c_str());
}

TEST(Timeline, MacrosQueuedBehindEachOtherRunBackToBackUnderTheirOwnNames)
{
    const std::string path = scratchPath("lookalike.json");
    Consumer consumer("obs-lookalike");
    ASSERT_TRUE(observe::startTimeline(path, 1000));
    Gate gate;
    ASSERT_TRUE(consumer.queue()->write(gate.macro(), -1));
    ASSERT_TRUE(gate.reached());
    // Same length, same first, middle and last byte: names a lane tells
    // apart by their whole text, each seen again and again.
    std::vector<std::string> written;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 10; ++i) {
            written.push_back("n" + std::to_string(i) + "x" + std::to_string(9 - i) + "z");
            ASSERT_TRUE(consumer.queue()->write(macroOf(written.back(), [] {}), -1));
        }
    }
    const uint64_t before = consumer.task.getExecuted();
    gate.open();
    ASSERT_TRUE(eventually([&] { return consumer.task.getExecuted() >= before + 1 + written.size(); }));
    ASSERT_TRUE(observe::stopTimeline());

    std::vector<Json> macros = eventsOf(Json::parse(fileText(path)), "X", "macro");
    ASSERT_EQ(macros.size(), written.size() + 1);
    EXPECT_EQ(macros[0]["name"], "Gate");
    for (std::size_t i = 1; i < macros.size(); ++i) {
        EXPECT_EQ(macros[i]["name"], written[i - 1]);
        // Each begins as the one before ended, never a printed nanosecond
        // earlier: viewers draw a macro that overlaps the one before on its
        // lane as nested in it.
        const auto ns = [](const Json& us) { return std::llround(us.get<double>() * 1000.0); };
        EXPECT_GE(ns(macros[i]["ts"]), ns(macros[i - 1]["ts"]) + ns(macros[i - 1]["dur"]));
    }
    std::remove(path.c_str());
}

TEST(Timeline, AMacroAfterAnIdleSpellDoesNotCountTheIdleTime)
{
    const std::string path = scratchPath("idle.json");
    Consumer consumer("obs-idle");
    ASSERT_TRUE(observe::startTimeline(path, 100));
    runOn(consumer.task, "before");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    runOn(consumer.task, "after");
    ASSERT_TRUE(observe::stopTimeline());
    const auto macros = eventsOf(Json::parse(fileText(path)), "X", "macro");
    ASSERT_EQ(macros.size(), 2u);
    EXPECT_EQ(macros[1]["name"], "after");
    EXPECT_LT(macros[1]["dur"].get<double>(), 30000.0);  // an empty macro, not the idle 30 ms
    std::remove(path.c_str());
}

TEST(Timeline, ALaneKeepsABoundedNumberOfDistinctNames)
{
    constexpr int LANE_NAMES = 4096;
    const std::string path = scratchPath("names.json");
    Consumer consumer("obs-names", LANE_NAMES + 8);
    ASSERT_TRUE(observe::startTimeline(path, 2 * LANE_NAMES));
    const uint64_t before = consumer.task.getExecuted();
    for (int i = 0; i < LANE_NAMES + 2; ++i) {
        ASSERT_TRUE(consumer.queue()->write(macroOf("name " + std::to_string(i), [] {}), -1));
    }
    ASSERT_TRUE(eventually([&] { return consumer.task.getExecuted() >= before + LANE_NAMES + 2; }));
    ASSERT_TRUE(observe::stopTimeline());
    const auto macros = eventsOf(Json::parse(fileText(path)), "X", "macro");
    ASSERT_EQ(macros.size(), LANE_NAMES + 2u);
    EXPECT_EQ(macros[LANE_NAMES - 1]["name"], "name " + std::to_string(LANE_NAMES - 1));
    EXPECT_EQ(macros[LANE_NAMES]["name"], "(more names than a lane keeps)");
    EXPECT_EQ(macros[LANE_NAMES + 1]["name"], "(more names than a lane keeps)");
    std::remove(path.c_str());
}

TEST(Timeline, WhenFullTheOldestGoAndTheFileSaysHowMany)
{
    const std::string path = scratchPath("full.json");
    Consumer consumer("obs-few");
    ASSERT_TRUE(observe::startTimeline(path, 2));
    for (int i = 0; i < 5; ++i) {
        runOn(consumer.task, "m" + std::to_string(i));
    }
    ASSERT_TRUE(observe::stopTimeline());
    const Json trace = Json::parse(fileText(path));
    const auto macros = eventsOf(trace, "X", "macro");
    ASSERT_EQ(macros.size(), 2u);
    EXPECT_EQ(macros[0]["name"], "m3");
    EXPECT_EQ(macros[1]["name"], "m4");
    EXPECT_EQ(trace.at("otherData").at("droppedEvents"), 3);
    std::remove(path.c_str());
}

TEST(Timeline, TimerDeliveriesAndWritesThatWaitedForAFullQueue)
{
    const std::string path = scratchPath("timer.json");
    Consumer consumer("obs-tick", 1);
    ASSERT_TRUE(observe::startTimeline(path, 1000));
    {
        CountingTimer timer(consumer.queue());
        ASSERT_TRUE(timer.startRelative(5, 0, nullptr));
        ASSERT_TRUE(timer.waitForTimeouts(1));
        timer.stop();
    }
    // The timer's deletion macro went into the one slot: let it be taken.
    ASSERT_TRUE(eventually([&consumer] { return consumer.queue()->size() == 0; }));
    Gate gate;
    ASSERT_TRUE(consumer.queue()->write(gate.macro(), -1));
    ASSERT_TRUE(gate.reached());
    ASSERT_TRUE(consumer.queue()->write(macroOf("fills", [] {}), -1));  // the one slot
    std::thread writer([&consumer] { consumer.queue()->write(macroOf("waits", [] {}), -1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    gate.open();
    writer.join();  // the writer's thread ends before the file is written
    ASSERT_TRUE(eventually([&consumer] { return consumer.queue()->size() == 0; }));
    ASSERT_TRUE(observe::stopTimeline());

    const Json trace = Json::parse(fileText(path));
    const auto ticks = eventsOf(trace, "i", "timer");
    ASSERT_EQ(ticks.size(), 1u);
    EXPECT_EQ(ticks[0]["s"], "t");
    EXPECT_GE(ticks[0]["args"]["lateUs"].get<double>(), 0.0);
    EXPECT_EQ(laneNames(trace).at(ticks[0]["tid"]), "obs-tick");
    const auto waits = eventsOf(trace, "X", "queue");
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0]["name"], "obs-tick-TaskEventQueue full");
    EXPECT_GE(waits[0]["dur"].get<double>(), 1000.0);  // it waited for the gate
    std::remove(path.c_str());
}

TEST(Timeline, StoppingWhileTasksKeepRecordingLosesNothingItWrites)
{
    Consumer busy("obs-busy");
    std::atomic<bool> stop{false};
    std::thread feeder([&busy, &stop] {
        while (!stop.load()) {
            busy.queue()->write(macroOf("spin", [] {}), -1);
        }
    });
    for (int round = 0; round < 3; ++round) {
        const std::string path = scratchPath("round.json");
        ASSERT_TRUE(observe::startTimeline(path, 500));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(observe::stopTimeline());
        const Json trace = Json::parse(fileText(path));
        EXPECT_LE(eventsOf(trace, "X").size(), 500u);
        std::remove(path.c_str());
    }
    stop = true;
    feeder.join();
}

TEST(Timeline, StopFromAMacroOnARecordingTaskDoesNotWaitForItself)
{
    const std::string path = scratchPath("self.json");
    Consumer consumer("obs-self-stop");
    ASSERT_TRUE(observe::startTimeline(path, 100));
    runOn(consumer.task, "before");
    EXPECT_TRUE(onTaskThread<bool>(consumer.task, [] { return observe::stopTimeline(); }));
    const auto macros = eventsOf(Json::parse(fileText(path)), "X", "macro");
    ASSERT_EQ(macros.size(), 1u);  // the stopping macro had not ended
    EXPECT_EQ(macros[0]["name"], "before");
    std::remove(path.c_str());
}

TEST(Timeline, RefusesNoRoomAndAPathThatCannotBeCreated)
{
    EXPECT_FALSE(observe::startTimeline(scratchPath("zero.json"), 0));
    EXPECT_FALSE(observe::startTimeline("/nonexistent-dir/timeline.json", 10));
    EXPECT_FALSE(observe::stopTimeline());
}

}  // namespace
