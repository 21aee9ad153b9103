// A Task started, terminated and restarted hundreds of times while a writer
// feeds its event queue. The termination request is one more macro in the
// queue, so it splits the stream of work exactly there: a macro written before
// terminate() was called runs in the run being terminated; one written after
// the request was queued runs in the next; every macro runs once, in order.
#include <halvix/task/Task.h>

#include "StressSupport.h"
#include "task/TaskTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace {

using halvix::command::Macro;
using halvix::task::Task;
using namespace halvix::test;

// Room for the writer's backlog, the controller's macros and the request:
// terminate queues its request without waiting, so the queue is never full then.
constexpr unsigned long kEventQueueSlots = 64;
constexpr long kWriterBacklog = 48;
constexpr int kBurstBeforeRequest = 3;

// What the macros of one producer did. Written on the Task's threads, one run
// after another; read once the thread of a run has ended (join, or the
// acquire of the Task's state).
struct ProducerLog
{
    explicit ProducerLog(long capacity) : runOf(capacity, 0), executions(capacity, 0) {}
    std::vector<int> runOf;       // the run in which each macro ran
    std::vector<int> executions;  // how often each macro ran
    long last = -1;
    long outOfOrder = 0;
};

// The run being executed, from 1; set before each start, which publishes it to the new thread.
int currentRun = 0;

Macro* recordingMacro(ProducerLog& log, long sequence, std::atomic<long>* executed = nullptr)
{
    return macroOf("Record", [&log, sequence, executed] {
        log.runOf[sequence] = currentRun;
        ++log.executions[sequence];
        log.outOfOrder += sequence <= log.last;
        log.last = sequence;
        if (executed != nullptr) {
            executed->fetch_add(1, std::memory_order_release);  // the writer's throttle acquires it
        }
    });
}

// Where the writer stood around one termination request.
struct RequestBoundary
{
    long completedBefore;  // writes completed before terminate() was called
    long issuedAfter;      // writes begun before the request was known to be queued
};

TEST(TaskChurnStress, FiveHundredRestartsLoseNothingQueuedBeforeARequestAndRunNothingAfterIt)
{
    const int cycles = scaled(500, 500, 300);
    const long writerCapacity = 400000;
    Volume volume("task churn, start/terminate/restart");
    Task task("stress-churn", nullptr, kEventQueueSlots);
    ProducerLog writerLog(writerCapacity);
    ProducerLog controllerLog(static_cast<long>(cycles) * (kBurstBeforeRequest + 1));
    std::vector<int> expectedRunOfControllerMacro;

    // The writer: one macro after another, never more than kWriterBacklog
    // waiting; issued is raised before each write, completed after it.
    std::atomic<long> issued{0};
    std::atomic<long> completed{0};
    std::atomic<long> executed{0};
    std::atomic<bool> stop{false};
    std::atomic<long> failedWrites{0};
    std::thread writer([&] {
        for (long s = 0; s < writerCapacity && !stop.load(); ++s) {
            while (s - executed.load(std::memory_order_acquire) >= kWriterBacklog) {
                if (stop.load()) {
                    return;
                }
                std::this_thread::yield();
            }
            issued.store(s + 1);  // sequentially consistent with the controller's loads
            if (!task.getEventQueuePtr()->write(recordingMacro(writerLog, s, &executed), -1)) {
                failedWrites.fetch_add(1);
            }
            completed.store(s + 1);
        }
    });

    std::mt19937 random(2024);
    std::vector<RequestBoundary> boundaries;
    long controllerSequence = 0;
    int failedControls = 0;
    for (int run = 1; run <= cycles; ++run) {
        currentRun = run;
        failedControls += !task.start(nullptr, nullptr, false);
        // Let the run do a random amount of the writer's work.
        const long target = executed.load() + static_cast<long>(random() % 24);
        eventually([&] { return executed.load() >= target; }, std::chrono::milliseconds(50));

        RequestBoundary boundary{};
        boundary.completedBefore = completed.load();
        for (int b = 0; b < kBurstBeforeRequest; ++b) {
            expectedRunOfControllerMacro.push_back(run);
            failedControls +=
                !task.getEventQueuePtr()->write(recordingMacro(controllerLog, controllerSequence++), -1);
        }
        if (run % 2 == 0) {
            failedControls += !task.terminate(true);
            boundary.issuedAfter = issued.load();
        } else {
            // The request is queued when terminate(false) returns; the thread
            // ends on its own, which the Task's state shows.
            failedControls += !task.terminate(false);
            boundary.issuedAfter = issued.load();
            failedControls += !eventually([&] { return !task.isThreadOfExecutionRunning(); });
        }
        boundaries.push_back(boundary);
        failedControls += task.getExitStatus() != Task::SUCCESSFUL;
        // Written while no thread runs: waits for the next run.
        expectedRunOfControllerMacro.push_back(run + 1);
        failedControls +=
            !task.getEventQueuePtr()->write(recordingMacro(controllerLog, controllerSequence++), -1);
    }
    stop.store(true);
    writer.join();
    // A last run drains what the final cycle left queued.
    currentRun = cycles + 1;
    ASSERT_TRUE(task.start(nullptr, nullptr, false));
    ASSERT_TRUE(task.terminate(true));
    const long written = completed.load();
    volume.report(cycles, "cycles");

    EXPECT_EQ(failedControls, 0);
    EXPECT_EQ(failedWrites.load(), 0);
    EXPECT_EQ(writerLog.outOfOrder, 0);
    EXPECT_EQ(controllerLog.outOfOrder, 0);
    EXPECT_EQ(std::count(writerLog.executions.begin(), writerLog.executions.begin() + written, 1), written);
    EXPECT_EQ(std::count(controllerLog.executions.begin(),
                         controllerLog.executions.begin() + controllerSequence, 1),
              controllerSequence);

    long lostBeforeRequest = 0;
    long ranAfterRequest = 0;
    for (int run = 1; run <= cycles; ++run) {
        const RequestBoundary& boundary = boundaries[run - 1];
        for (long s = 0; s < written; ++s) {
            const int ranIn = writerLog.runOf[s];
            lostBeforeRequest += s < boundary.completedBefore && ranIn > run;
            ranAfterRequest += s >= boundary.issuedAfter && ranIn <= run;
        }
    }
    EXPECT_EQ(lostBeforeRequest, 0);
    EXPECT_EQ(ranAfterRequest, 0);
    long controllerMisplaced = 0;
    for (long s = 0; s < controllerSequence; ++s) {
        controllerMisplaced += controllerLog.runOf[s] != expectedRunOfControllerMacro[s];
    }
    EXPECT_EQ(controllerMisplaced, 0);
    EXPECT_GT(written, cycles) << "the writer hardly overlapped the churn";
}

}  // namespace
