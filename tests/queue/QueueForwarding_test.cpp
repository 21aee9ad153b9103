// Forwarding queues: which target gets a write, changes of targets while writers run, destruction.
#include <halvix/queue/Queue.h>

#include "QueueTestSupport.h"
#include "common/ErrorRecorder.h"
#include "common/TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace halvix::test;
using halvix::command::Macro;
using halvix::error::Error;
using halvix::queue::Queue;

TEST(QueueSelection, LeastUtilizedFirstWithTiesToTheEarlierQueue)
{
    // The sizes of queues 0, 1, 2 and the index of the one chosen.
    for (const auto& sizes :
         std::vector<std::array<unsigned, 4>>{{3, 1, 1, 1}, {0, 0, 5, 0}, {2, 2, 2, 0}, {4, 3, 2, 2}}) {
        CountedMacro filler("filler", false);  // outlives the queues
        Queue targets[] = {Queue("A", 8), Queue("B", 8), Queue("C", 8)}, front("F", 8);
        for (unsigned q = 0; q < 3; ++q) {
            for (unsigned i = 0; i < sizes[q]; ++i) {
                ASSERT_TRUE(targets[q].write(&filler, 0));
            }
            front.startForwardingTo(&targets[q]);
        }
        ASSERT_TRUE(front.write(&filler, 0));
        EXPECT_EQ(targets[sizes[3]].size(), sizes[sizes[3]] + 1)
            << sizes[0] << "," << sizes[1] << "," << sizes[2];
        EXPECT_EQ(front.size(), 0u);
    }
    EXPECT_EQ(Queue::selectLeastUtilizedQueue(nullptr, {}), nullptr);
}

TEST(QueueSelection, ReplaceableAndNullSelectionIsReported)
{
    ErrorRecorder errors;
    CountedMacro macro("M", false);  // outlives the queues that store it
    Queue front("F", 2), a("A", 2), b("B", 2), other("O", 2);
    front.startForwardingTo(&a);
    front.startForwardingTo(&b);
    other.startForwardingTo(&a);
    other.startForwardingTo(&b);
    front.setQueueSelectionAlgorithm([](const Macro*, std::vector<Queue*> queues) { return queues.back(); });
    EXPECT_TRUE(front.write(&macro, 0));
    EXPECT_EQ(b.size(), 1u);
    EXPECT_TRUE(other.write(&macro, 0));  // the other queue keeps the default
    EXPECT_EQ(a.size(), 1u);

    front.setQueueSelectionAlgorithm([](const Macro*, std::vector<Queue*>) -> Queue* { return nullptr; });
    EXPECT_FALSE(front.write(&macro, 0));
    EXPECT_EQ(errors.reports(),  // no "Could not write" on top
              Lines{"NullPtr/ERROR/write: No forwarding queue selected to write macro 'M' to queue 'F'."});
}

TEST(QueueSelection, NullSelectionAlgorithmIsRefusedAndThePreviousOneKept)
{
    ErrorRecorder errors;
    CountedMacro macro("M", false);
    Queue front("F", 2), a("A", 2), b("B", 2);
    front.startForwardingTo(&a);
    front.startForwardingTo(&b);
    front.setQueueSelectionAlgorithm([](const Macro*, std::vector<Queue*> queues) { return queues.back(); });
    EXPECT_THROW(front.setQueueSelectionAlgorithm(nullptr), Error);
    EXPECT_TRUE(front.write(&macro, 0));  // no crash: the previous choice still holds
    EXPECT_EQ(b.size(), 1u);
    EXPECT_EQ(errors.reports(), Lines{"NullPtr/ERROR/setQueueSelectionAlgorithm: Null pointer (algorithm) "
                                      "passed to Queue::setQueueSelectionAlgorithm for queue 'F'."});
}

TEST(QueueForwarding, ChangesThatChangeNothingAreWarningsAndFailedWritesAreReportedTwice)
{
    ErrorRecorder errors;
    CountedMacro macro("M", false);
    Queue front("F", 2), target("T", 1), stranger("S", 2);
    front.startForwardingTo(&target);
    front.startForwardingTo(&target);
    EXPECT_EQ(front.getNumQueuesToForwardTo(), 1u);
    front.stopForwardingTo(&stranger);
    EXPECT_EQ(front.getNumQueuesToForwardTo(), 1u);
    EXPECT_THROW(front.startForwardingTo(nullptr), Error);
    EXPECT_THROW(front.stopForwardingTo(nullptr), Error);
    ASSERT_TRUE(front.write(&macro, 0));
    EXPECT_FALSE(front.write(&macro, 0));  // by the target, then by the forwarder
    EXPECT_EQ(
        errors.reports(),
        (Lines{
            "AlreadyExists/WARNING/startForwardingTo: Already forwarding macros written to queue 'F' to "
            "queue 'T'.",
            "DoesNotExist/WARNING/stopForwardingTo: Not forwarding macros written to queue 'F' to queue 'S'.",
            "NullPtr/ERROR/startForwardingTo: Null pointer (queuePtr) passed to Queue::startForwardingTo.",
            "NullPtr/ERROR/stopForwardingTo: Null pointer (queuePtr) passed to Queue::stopForwardingTo.",
            "QueueWriteError/ERROR/write: Could not write macro 'M' to queue 'T'.",
            "QueueWriteError/ERROR/write: Could not write macro 'M' to queue 'F'."}));

    // After the last target is removed writes are stored here again.
    front.stopForwardingTo(&target);
    EXPECT_TRUE(front.write(&macro, 0));
    EXPECT_EQ(front.size(), 1u);
}

// A writer waits (time-out -1) for room in a full target behind a forwarder.
struct BlockedForwardedWrite
{
    BlockedForwardedWrite(Queue& front, Queue& target, Macro& filler, Macro& macro)
    {
        front.startForwardingTo(&target);
        EXPECT_TRUE(target.write(&filler, 0));
        writer = std::async(std::launch::async, [&front, &macro] { return front.write(&macro, -1); });
        EXPECT_EQ(writer.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    }
    std::future<bool> writer;
};

TEST(QueueForwarding, StopForwardingToWaitsForTheWriteInFlightAndNeverWritesTheTargetAfter)
{
    CountedMacro filler("filler", false), macro("M", false), later("later", false);
    Queue front("F", 2), target("T", 1);
    BlockedForwardedWrite blocked(front, target, filler, macro);
    auto stopping = std::async(std::launch::async, [&] { front.stopForwardingTo(&target); });
    EXPECT_EQ(stopping.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    Macro* taken = nullptr;
    ASSERT_TRUE(target.read(taken, 0));  // room: the write in flight ends, then the stop
    ASSERT_TRUE(readyWithinBound(blocked.writer));
    EXPECT_TRUE(blocked.writer.get());
    ASSERT_TRUE(readyWithinBound(stopping));
    EXPECT_TRUE(front.write(&later, 0));
    EXPECT_EQ(front.size(), 1u);  // stored here, not in the removed target
    EXPECT_TRUE(target.read(taken, 0));
    EXPECT_EQ(taken, &macro);
    EXPECT_EQ(target.size(), 0u);
}

TEST(QueueForwarding, DestroyedQueuesLeaveEveryForwardingListAndAFullOneIsDrainedForItsWriter)
{
    ErrorRecorder errors;
    CountedMacro stored("stored", false);  // outlives the queue that stores it
    Queue front("F", 2);
    auto source = std::make_unique<Queue>("S", 2);
    auto target = std::make_unique<Queue>("T", 1);
    source->startForwardingTo(target.get());
    source.reset();  // a source going first leaves its target's list of sources
    front.startForwardingTo(target.get());
    target.reset();
    EXPECT_EQ(front.getNumQueuesToForwardTo(), 0u);
    EXPECT_TRUE(front.write(&stored, 0));
    EXPECT_EQ(front.size(), 1u);

    // A target destroyed while a writer waits for room in it: the auto-delete
    // macros in it are deleted to let the write finish, then the writer's.
    std::atomic<int> destroyed{0};
    Queue pool("P", 2);
    auto full = std::make_unique<Queue>("full", 1);
    auto* blocker = new CountedMacro("blocker", true, &destroyed);
    auto* waiting = new CountedMacro("waiting", true, &destroyed);
    BlockedForwardedWrite blocked(pool, *full, *blocker, *waiting);
    auto destroying = std::async(std::launch::async, [&full] { full.reset(); });
    ASSERT_TRUE(readyWithinBound(destroying));
    ASSERT_TRUE(readyWithinBound(blocked.writer));
    EXPECT_TRUE(blocked.writer.get());
    EXPECT_EQ(destroyed.load(), 2);
    EXPECT_EQ(pool.getNumQueuesToForwardTo(), 0u);
    EXPECT_TRUE(errors.entries().empty());
}

// Forwarding nested deeper than a thread's record of shared holds takes the
// guards' counters; changes still wait for those holds and find them gone.
TEST(QueueForwarding, AChainOfForwardersDeeperThanTheRecordOfHoldsWorks)
{
    CountedMacro macro("M", false);  // outlives the queues that store it
    std::vector<std::unique_ptr<Queue>> chain;
    for (int i = 0; i < 7; ++i) {
        chain.push_back(std::make_unique<Queue>("chain" + std::to_string(i), 4));
        if (i > 0) {
            chain[i - 1]->startForwardingTo(chain[i].get());
        }
    }
    auto writer = std::async(std::launch::async, [&] { return chain[0]->write(&macro, -1); });
    ASSERT_TRUE(readyWithinBound(writer));
    EXPECT_TRUE(writer.get());
    EXPECT_EQ(chain.back()->size(), 1u);
    auto stopping = std::async(std::launch::async, [&] {
        for (int i = 6; i > 0; --i) {
            chain[i - 1]->stopForwardingTo(chain[i].get());
        }
    });
    ASSERT_TRUE(readyWithinBound(stopping)) << "a change waits for a hold that ended";
    EXPECT_TRUE(chain[0]->write(&macro, 0));
    EXPECT_EQ(chain[0]->size(), 1u);
}

}  // namespace
