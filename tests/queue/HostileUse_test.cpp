// Forwarding queues used as a pool whose workers write back into it while
// the pool's targets change.
#include <halvix/queue/Queue.h>

#include "common/ErrorRecorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

namespace {

using namespace halvix::test;
using halvix::command::Macro;
using halvix::queue::Queue;
using std::chrono::milliseconds;

constexpr std::chrono::seconds kBound{10};

// Waits for the future within the bound; a thread still blocked then is
// part of a deadlock that cannot be undone: say so and stop the process.
void readyOrAbort(std::future<void>& future, const char* who)
{
    if (future.wait_for(kBound) != std::future_status::ready) {
        std::fprintf(stderr, "%s is still blocked after %lld s: deadlock\n", who,
                     static_cast<long long>(kBound.count()));
        std::abort();
    }
    future.get();
}

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

    std::promise<void> gate;
    auto opened = gate.get_future().share();
    std::atomic<bool> repostStored{false};
    auto workerThread = std::async(std::launch::async, [&] {
        opened.wait();
        auto* repost = new Macro("repost", false, true);
        repostStored = pool.write(repost, 0);  // the worker's own queue is full: refused
        if (!repostStored) {
            delete repost;
        }
        for (Macro* macro = nullptr; worker.read(macro, 200);) {
            delete macro;
        }
    });
    auto producer = std::async(std::launch::async, [&pool] {
        EXPECT_TRUE(pool.write(new Macro("produced", false, true), -1));  // waits for room
    });
    std::this_thread::sleep_for(milliseconds(20));
    auto change = std::async(std::launch::async, [&pool, &other] {
        pool.startForwardingTo(&other);  // waits for the producer's write
    });
    std::this_thread::sleep_for(milliseconds(20));
    gate.set_value();

    readyOrAbort(workerThread, "the worker");
    readyOrAbort(producer, "the producer");
    readyOrAbort(change, "the change");
    EXPECT_EQ(pool.getNumQueuesToForwardTo(), 2u);
    for (Macro* macro = nullptr; other.read(macro, 0);) {
        delete macro;
    }
}

}  // namespace
