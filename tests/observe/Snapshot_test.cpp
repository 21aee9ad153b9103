// The live JSON snapshot: what it says of Tasks, Queues and Timers, escaping, and safety under churn.
#include <halvix/observe/Observe.h>

#include "ObserveTestSupport.h"
#include "common/ErrorRecorder.h"
#include "task/TaskTestSupport.h"
#include "timer/TimerTestSupport.h"

#include <halvix/os/osTask.h>
#include <halvix/queue/Queue.h>
#include <halvix/task/Task.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace halvix::test;
using halvix::command::Macro;
using halvix::queue::Queue;
using halvix::task::Task;

class Snapshot : public testing::Test
{
protected:
    void SetUp() override { halvix::observe::startCounting(); }
};

TEST_F(Snapshot, TaskBlockedInAMacroShowsThatMacroAndAGrowingTime)
{
    Consumer consumer("obs-blocked");
    Gate gate;
    auto* stuck = new Macro("Stuck \"quoted\" Macro", false, true);
    stuck->add(new FunctionCommand([&gate] {
        gate.macro()->execute();  // reports reaching, then blocks until opened
    }));
    ASSERT_TRUE(consumer.queue()->write(stuck, -1));
    ASSERT_TRUE(gate.reached());

    const Json first = entryNamed(snapshot(), "tasks", "obs-blocked");
    ASSERT_FALSE(first.is_null());
    EXPECT_EQ(first["state"], "RUNNING");
    EXPECT_EQ(first["eventQueue"], "obs-blocked-TaskEventQueue");
    ASSERT_TRUE(first["current"].is_object());
    EXPECT_EQ(first["current"]["macro"], "Stuck \"quoted\" Macro");
    const int64_t firstUs = first["current"]["runningUs"];
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const Json second = entryNamed(snapshot(), "tasks", "obs-blocked");
    ASSERT_TRUE(second["current"].is_object());
    // Both whole microseconds, each cut down (1 us), on the CPU counter's
    // rate as measured, to a part in ten thousand (2 us over 20 ms).
    EXPECT_GE(second["current"]["runningUs"].get<int64_t>(), firstUs + 20000 - 3);

    gate.open();
    ASSERT_TRUE(
        eventually([] { return entryNamed(snapshot(), "tasks", "obs-blocked")["current"].is_null(); }));
    EXPECT_EQ(entryNamed(snapshot(), "tasks", "obs-blocked")["executed"], 1);
}

TEST_F(Snapshot, CountsTheMacrosATaskRanAndThoseThatFailed)
{
    Consumer consumer("obs-counts");
    for (int status : {0, 3, 0, 1}) {
        ASSERT_TRUE(consumer.queue()->write(macroOf("m", [status] { return status; }), -1));
    }
    ASSERT_TRUE(eventually([] { return entryNamed(snapshot(), "tasks", "obs-counts")["executed"] == 4; }));
    EXPECT_EQ(entryNamed(snapshot(), "tasks", "obs-counts")["failed"], 2);
}

TEST_F(Snapshot, QueueHighWaterMarkAfterABurstAndItsTargets)
{
    Queue burst("obs-burst", 16);
    Queue left("obs-left", 4);
    Queue right("obs-right", 4);
    std::vector<Macro*> macros;
    for (int i = 0; i < 10; ++i) {
        macros.push_back(new Macro("burst", false, true));
        ASSERT_TRUE(burst.write(macros.back(), 0));
    }
    Macro* taken = nullptr;
    while (burst.read(taken, 0)) {
        delete taken;
    }
    burst.startForwardingTo(&right);
    burst.startForwardingTo(&left);

    const Json queue = entryNamed(snapshot(), "queues", "obs-burst");
    EXPECT_EQ(queue["size"], 0);
    EXPECT_EQ(queue["maxMacros"], 16);
    EXPECT_EQ(queue["highWater"], 10);
    EXPECT_EQ(queue["written"], 10);
    EXPECT_EQ(queue["forwardsTo"], Json({"obs-right", "obs-left"}));
    burst.stopForwardingTo(&right);
    burst.stopForwardingTo(&left);
}

TEST_F(Snapshot, ReadsKeepThePeakDepthAcrossLapsOfTheStore)
{
    // Depths that rise and fall over several laps of a store of 5 slots; the
    // mark follows the highest depth a read found, whatever slot it sits in.
    Macro macro("lap", false, false);
    Queue queue("obs-laps", 5);
    uint64_t stored = 0;
    uint64_t peak = 0;
    for (uint64_t depth : {1, 3, 2, 4, 1, 5, 3}) {
        for (uint64_t i = 0; i < depth; ++i, ++stored) {
            ASSERT_TRUE(queue.write(&macro, 0));
        }
        peak = std::max(peak, depth);
        Macro* taken = nullptr;
        while (queue.read(taken, 0)) {
        }
        EXPECT_EQ(queue.getHighWater(), peak);
        EXPECT_EQ(queue.getWritten(), stored);
    }
}

TEST_F(Snapshot, FullQueueRefusingAWriteKeepsItsCounts)
{
    // The macros outlive the queue, whose destruction looks at those it holds.
    Macro a("a", false, false), b("b", false, false), c("c", false, false);
    Queue full("obs-full", 2);
    ASSERT_TRUE(full.write(&a, 0));
    ASSERT_TRUE(full.write(&b, 0));
    ErrorRecorder errors;
    EXPECT_FALSE(full.write(&c, 0));
    const Json queue = entryNamed(snapshot(), "queues", "obs-full");
    EXPECT_EQ(queue["written"], 2);    // the refused write is not counted
    EXPECT_EQ(queue["highWater"], 2);  // never more than the slots
}

TEST_F(Snapshot, TimerFiredAndOverrunsAfterASlowConsumer)
{
    Consumer consumer("obs-slow");
    Gate gate;
    ASSERT_TRUE(consumer.queue()->write(gate.macro(), -1));
    ASSERT_TRUE(gate.reached());
    CountingTimer timer(consumer.queue());
    ASSERT_TRUE(timer.startRelative(10, 10, nullptr));
    // Five expiries while the consumer is stuck: the first is posted, the
    // others find it still waiting.
    ASSERT_TRUE(eventually([&timer] { return timerWithId(snapshot(), timer.getId())["fired"] >= 5; }));
    gate.open();
    ASSERT_TRUE(timer.waitForTimeouts(5));
    timer.stop();

    const Json facts = timerWithId(snapshot(), timer.getId());
    EXPECT_EQ(facts["queue"], "obs-slow-TaskEventQueue");
    EXPECT_EQ(facts["state"], "STOPPED");
    EXPECT_EQ(facts["repeatMs"], 10);
    EXPECT_GE(facts["overruns"].get<int>(), 4);
    EXPECT_GE(facts["fired"].get<int>(), facts["overruns"].get<int>() + 1);
    // The first delivery waited for the fifth expiry to be due, 40 ms after
    // its own.
    EXPECT_GE(facts["lateMaxUs"].get<int64_t>(), 40000);
    EXPECT_LE(facts["lateLastUs"].get<int64_t>(), facts["lateMaxUs"].get<int64_t>());
    EXPECT_LE(facts["lateP50Us"].get<int64_t>(), 2 * facts["lateMaxUs"].get<int64_t>());
}

TEST_F(Snapshot, NamesAreEscapedAndInvalidUtf8IsEscapedBytewise)
{
    const std::string name = std::string("obs \"q\" \\ \t\x01 caf\xc3\xa9 \xe2\x82\xac bad\xff\xc3(");
    Queue queue(name, 2);
    const std::string text = halvix::observe::snapshotJson();
    EXPECT_NE(text.find("caf\xc3\xa9 \xe2\x82\xac"), std::string::npos);  // valid UTF-8 as it is
    EXPECT_NE(text.find("bad\\u00ff\\u00c3("), std::string::npos);
    const Json parsed = Json::parse(text);
    const std::string decoded = "obs \"q\" \\ \t\x01 caf\xc3\xa9 \xe2\x82\xac bad\xc3\xbf\xc3\x83(";
    EXPECT_FALSE(entryNamed(parsed, "queues", decoded).is_null());
}

TEST_F(Snapshot, SafeWhileOtherThreadsCreateAndDestroyObjects)
{
    std::atomic<bool> stop{false};
    std::thread churn([&stop] {
        for (int round = 0; !stop.load(); ++round) {
            Task task("obs-churn-" + std::to_string(round % 4), nullptr, 8);
            task.start(nullptr, nullptr, false);
            CountingTimer timer(task.getEventQueuePtr());
            timer.startRelative(1, 1, nullptr);
            post(task, [] {});
            timer.stop();
            task.terminate(true);
        }
        halvix::os::osTaskDetach();  // the record a timer built on this thread gave it
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    int snapshots = 0;
    while (std::chrono::steady_clock::now() < until) {
        const Json snap = snapshot();
        ASSERT_TRUE(snap.at("tasks").is_array());
        ++snapshots;
    }
    stop = true;
    churn.join();
    EXPECT_GT(snapshots, 0);
}

}  // namespace
