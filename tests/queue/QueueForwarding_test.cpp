#include <halvix/queue/Queue.h>

#include "QueueTestSupport.h"
#include "common/ErrorRecorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using halvix::command::Macro;
using halvix::error::Error;
using halvix::queue::Queue;
using halvix::test::CountedMacro;
using halvix::test::ErrorRecorder;

// Fills a queue with n macros that it does not own.
void fill(Queue& queue, int n, Macro& filler)
{
    for (int i = 0; i < n; ++i) {
        ASSERT_TRUE(queue.write(&filler, 0));
    }
}

TEST(QueueSelection, LeastUtilizedFirstWithTiesToTheEarlierQueue)
{
    struct Case
    {
        int a, b, c;
        int expected;
    };
    for (const Case& sizes : {Case{3, 1, 1, 1}, Case{0, 0, 5, 0}, Case{2, 2, 2, 0}, Case{4, 3, 2, 2}}) {
        CountedMacro filler("filler", false), next("next", false);  // outlive the queues
        Queue a("A", 8), b("B", 8), c("C", 8), front("F", 8);
        fill(a, sizes.a, filler);
        fill(b, sizes.b, filler);
        fill(c, sizes.c, filler);
        Queue* targets[] = {&a, &b, &c};
        for (Queue* target : targets) {
            front.startForwardingTo(target);
        }
        ASSERT_TRUE(front.write(&next, 0));
        Queue* chosen = targets[sizes.expected];
        EXPECT_EQ(chosen->size(), static_cast<unsigned long>((&sizes.a)[sizes.expected] + 1))
            << sizes.a << "," << sizes.b << "," << sizes.c;
        EXPECT_EQ(front.size(), 0u);
    }
    EXPECT_EQ(Queue::selectLeastUtilizedQueue(nullptr, {}), nullptr);
}

Queue* alwaysLast(const Macro*, std::vector<Queue*> queues)
{
    return queues.back();
}

Queue* nobody(const Macro*, std::vector<Queue*>)
{
    return nullptr;
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
    front.setQueueSelectionAlgorithm(alwaysLast);
    EXPECT_TRUE(front.write(&macro, 0));
    EXPECT_EQ(b.size(), 1u);
    EXPECT_TRUE(other.write(&macro, 0));  // the other queue keeps the default
    EXPECT_EQ(a.size(), 1u);

    front.setQueueSelectionAlgorithm(nobody);
    EXPECT_FALSE(front.write(&macro, 0));
    ASSERT_EQ(errors.entries().size(), 1u);  // no "Could not write" on top
    EXPECT_EQ(errors.entries()[0].name, "NullPtr");
    EXPECT_EQ(errors.messages()[0], "No forwarding queue selected to write macro 'M' to queue 'F'.");
}

TEST(QueueForwarding, FailedForwardedWriteIsReportedByTargetThenForwarder)
{
    ErrorRecorder errors;
    CountedMacro filler("filler", false);
    Queue front("F", 2), target("T", 1);
    front.startForwardingTo(&target);
    std::atomic<int> destroyed{0};
    auto* macro = new CountedMacro("M", true, &destroyed);
    ASSERT_TRUE(front.write(&filler, 0));
    EXPECT_FALSE(front.write(macro, 0));
    EXPECT_EQ(errors.messages(), (std::vector<std::string>{"Could not write macro 'M' to queue 'T'.",
                                                           "Could not write macro 'M' to queue 'F'."}));
    EXPECT_EQ(destroyed.load(), 0);
    delete macro;
}

TEST(QueueForwarding, ChangesThatChangeNothingAreWarnings)
{
    ErrorRecorder errors;
    CountedMacro macro("m", false);
    Queue front("F", 2), target("T", 2), stranger("S", 2);
    front.startForwardingTo(&target);
    front.startForwardingTo(&target);
    EXPECT_EQ(front.getNumQueuesToForwardTo(), 1u);
    front.stopForwardingTo(&stranger);
    EXPECT_EQ(front.getNumQueuesToForwardTo(), 1u);
    ASSERT_EQ(errors.entries().size(), 2u);
    EXPECT_EQ(errors.entries()[0].name, "AlreadyExists");
    EXPECT_EQ(errors.entries()[0].severity, Error::WARNING);
    EXPECT_EQ(errors.messages()[0], "Already forwarding macros written to queue 'F' to queue 'T'.");
    EXPECT_EQ(errors.entries()[1].name, "DoesNotExist");
    EXPECT_EQ(errors.entries()[1].severity, Error::WARNING);
    EXPECT_EQ(errors.messages()[1], "Not forwarding macros written to queue 'F' to queue 'S'.");

    EXPECT_THROW(front.startForwardingTo(nullptr), Error);
    EXPECT_THROW(front.stopForwardingTo(nullptr), Error);
    EXPECT_EQ(errors.messages()[2], "Null pointer (queuePtr) passed to Queue::startForwardingTo.");
    EXPECT_EQ(errors.messages()[3], "Null pointer (queuePtr) passed to Queue::stopForwardingTo.");

    // Macros stored before forwarding began stay readable; after the last
    // target is removed writes are stored here again.
    front.stopForwardingTo(&target);
    EXPECT_TRUE(front.write(&macro, 0));
    EXPECT_EQ(front.size(), 1u);
}

TEST(QueueForwarding, WritersThroughAForwarderToThreeReadersLoseNothing)
{
#if defined(__SANITIZE_THREAD__)
    constexpr int perWriter = 2000;
#else
    constexpr int perWriter = 20000;
#endif
    constexpr int writers = 3;
    constexpr int total = writers * perWriter;
    Queue front("front", 16);
    Queue workers[] = {Queue("w0", 16), Queue("w1", 16), Queue("w2", 16)};
    for (Queue& worker : workers) {
        front.startForwardingTo(&worker);
    }
    // Macro i belongs to writer i / perWriter and is its (i % perWriter)-th.
    std::vector<std::unique_ptr<CountedMacro>> macros;
    for (int i = 0; i < total; ++i) {
        macros.push_back(std::make_unique<CountedMacro>(std::to_string(i), false));
    }
    std::vector<std::atomic<int>> seen(total);
    std::atomic<int> consumed{0};
    std::vector<std::thread> threads;
    for (Queue& worker : workers) {
        threads.emplace_back([&, queue = &worker] {
            std::vector<int> lastFromWriter(writers, -1);
            Macro* macro = nullptr;
            while (consumed.load() < total) {
                if (!queue->read(macro, 20)) {
                    continue;
                }
                const int id = std::stoi(macro->getName());
                seen[id].fetch_add(1);
                EXPECT_GT(id, lastFromWriter[id / perWriter]) << "writer order broken";
                lastFromWriter[id / perWriter] = id;
                consumed.fetch_add(1);
            }
        });
    }
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            for (int i = w * perWriter; i < (w + 1) * perWriter; ++i) {
                ASSERT_TRUE(front.write(macros[i].get(), -1));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int i = 0; i < total; ++i) {
        ASSERT_EQ(seen[i].load(), 1) << "macro " << i;
    }
    EXPECT_EQ(front.size(), 0u);
}

}  // namespace
