// Forwarding queues used as a pool whose workers write back into it while
// the pool's targets change.
#include <halvix/queue/Queue.h>

#include "common/ErrorRecorder.h"
#include "common/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

using namespace halvix::test;
using halvix::command::Macro;
using halvix::queue::Queue;

// A worker that reads a full target writes into the pool feeding it while a
// producer waits (-1) for room in that target and a third thread changes the
// pool's targets. The change waits for the producer, the producer for the
// worker, so the worker's write must not wait for the change.
TEST(QueueHostileUse, AWorkerWritingIntoItsOwnPoolWhileAChangeWaitsForAFullTargetDoesNotDeadlock)
{
    ErrorRecorder errors;
    Queue pool("hostile-pool", 8);
    Queue worker("hostile-worker", 1);
    Queue other("hostile-other", 8);
    pool.startForwardingTo(&worker);
    ASSERT_TRUE(worker.write(new Macro("queued", false, true), 0));  // full

    std::vector<std::future<void>> threads;  // worker, producer, change: joined in that order
    std::promise<void> gate;
    auto opened = gate.get_future().share();
    std::atomic<bool> repostStored{false};
    threads.push_back(std::async(std::launch::async, [&] {
        opened.wait();
        auto* repost = new Macro("repost", false, true);
        repostStored = pool.write(repost, 0);  // the worker's own queue is full: refused
        if (!repostStored) {
            delete repost;
        }
        for (Macro* macro = nullptr; worker.read(macro, 200);) {
            delete macro;
        }
    }));
    threads.push_back(std::async(std::launch::async, [&pool] {
        EXPECT_TRUE(pool.write(new Macro("produced", false, true), -1));  // waits for room
    }));
    std::this_thread::sleep_for(milliseconds(20));
    threads.push_back(std::async(std::launch::async, [&pool, &other] {
        pool.startForwardingTo(&other);  // waits for the producer's write
    }));
    std::this_thread::sleep_for(milliseconds(20));
    gate.set_value();

    joinWithin(threads);  // a thread still blocked is part of a deadlock: the process stops
    EXPECT_EQ(pool.getNumQueuesToForwardTo(), 2u);
    for (Macro* macro = nullptr; other.read(macro, 0);) {
        delete macro;
    }
}

}  // namespace
