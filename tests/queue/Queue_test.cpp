// Queues: the registry of names, storage up to the capacity, ownership of macros, output.
#include <halvix/queue/Queue.h>

#include "QueueTestSupport.h"
#include "common/ErrorRecorder.h"
#include "common/TestSupport.h"

#include <halvix/error/Error.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <future>
#include <memory>
#include <sstream>

namespace {

using namespace halvix::test;
using halvix::command::Macro;
using halvix::error::Error;
using halvix::queue::Queue;

TEST(QueueRegistry, NamesAreUniqueAndReusableAfterDestruction)
{
    ErrorRecorder errors;
    auto first = std::make_unique<Queue>("Q", 4);
    EXPECT_THROW(Queue("Q", 4), Error);
    EXPECT_EQ(Queue::getQueuePtr("Q"), first.get());
    CountedMacro macro("M", false);
    EXPECT_TRUE(first->write(&macro, 0));  // still usable
    first.reset();
    EXPECT_EQ(Queue::getQueuePtr("Q"), nullptr);
    EXPECT_EQ(
        errors.reports(),
        (Lines{"AlreadyExists/ERROR/Queue: Queue 'Q' is already in the Queue Collection (i.e., name is not "
               "unique).",
               "DoesNotExist/WARNING/getQueuePtr: Queue 'Q' does not exist."}));
    Queue again("Q", 4);
    EXPECT_EQ(Queue::getQueuePtr("Q"), &again);
}

TEST(Queue, StoresOldestFirstUpToItsCapacityAndDeletesOnlyAutoDeleteMacrosLeftInIt)
{
    ErrorRecorder errors;
    std::atomic<int> destroyed{0};
    CountedMacro a("a", false, &destroyed);
    auto* owned = new CountedMacro("owned", true, &destroyed);
    {
        Queue queue("R", 3);
        EXPECT_THROW(queue.write(nullptr, 0), Error);
        EXPECT_TRUE(queue.write(&a, 0));
        EXPECT_TRUE(queue.write(owned, -1));
        EXPECT_EQ(queue.size(), 2u);
        Macro* taken = nullptr;
        EXPECT_TRUE(queue.read(taken, 10));
        EXPECT_EQ(taken, &a);
        EXPECT_TRUE(queue.read(taken, 0));
        EXPECT_EQ(taken, owned);
        EXPECT_FALSE(queue.read(taken, 0));
        EXPECT_EQ(taken, nullptr);

        // A full queue refuses a macro at once; it stays with its writer.
        for (Macro* macro : {static_cast<Macro*>(&a), static_cast<Macro*>(owned), static_cast<Macro*>(&a)}) {
            EXPECT_TRUE(queue.write(macro, 0));
        }
        auto* refused = new CountedMacro("M", true, &destroyed);
        EXPECT_FALSE(queue.write(refused, 0));
        delete refused;
        EXPECT_EQ(destroyed.load(), 1);
    }
    EXPECT_EQ(destroyed.load(), 2);  // `owned`, by the queue
    EXPECT_EQ(errors.reports(),
              (Lines{"NullPtr/ERROR/write: Null pointer (macroPtr) passed to Queue::write for queue 'R'.",
                     "QueueWriteError/ERROR/write: Could not write macro 'M' to queue 'R'."}));

    // The all-ones capacity stands for the default of 32 slots.
    Queue defaulted("Default", static_cast<unsigned long>(-1));
    EXPECT_EQ(defaulted.getMaxMacros(), static_cast<unsigned long>(-1));
    for (int i = 0; i < 32; ++i) {
        ASSERT_TRUE(defaulted.write(&a, 0)) << i;
    }
    EXPECT_FALSE(defaulted.write(&a, 0));
}

// The store counts its slots in an int: the low 32 bits of a larger capacity
// once gave a wrong queue without a word (2^32 + 5 held 5 macros).
TEST(QueueDeathTest, ACapacityTheStoreCannotHoldStopsTheProcessInsteadOfWrapping)
{
    for (uint64_t capacity :
         {uint64_t{1} << 31, (uint64_t{1} << 32) - 1, uint64_t{1} << 32, (uint64_t{1} << 32) + 5}) {
        EXPECT_DEATH(Queue("Wraps", capacity),
                     "Queue::Queue.*Assertion `maxMacros <= INT_MAX \\|\\| maxMacros == ULONG_MAX' failed")
            << capacity;
    }
}

TEST(QueueOutput, PrintsLabelledLinesAndEveryQueue)
{
    Queue queue("Q", 10);
    Queue target("T", 2);
    std::ostringstream fresh;
    fresh << queue;
    const std::string text = fresh.str();
    std::ostringstream algorithm;
    algorithm << "\nQueue selection alg.= 0x" << std::hex
              << reinterpret_cast<std::uintptr_t>(&Queue::selectLeastUtilizedQueue)
              << "\nQueues to forward to:\n";
    EXPECT_EQ(text.rfind("Name                = 'Q'\nMax. macros         = 10\nQueue handle        = 0x", 0),
              0u)
        << text;
    EXPECT_EQ(text.substr(text.find("\nQueue selection")), algorithm.str()) << text;

    queue.startForwardingTo(&target);
    std::ostringstream forwarding;
    forwarding << queue << 17;  // the number base is back to decimal
    EXPECT_EQ(forwarding.str().substr(forwarding.str().size() - 20), "forward to:\n    T\n17");

    std::ostringstream all;
    Queue::outputQueues(all);
    const std::string dump = all.str();
    EXPECT_EQ(dump.rfind("*** Current queues are:\nName                = 'Q'\n", 0), 0u);
    EXPECT_NE(dump.find("    T\n\nName                = 'T'\n"), std::string::npos);
    EXPECT_EQ(dump.substr(dump.size() - 23), "Queues to forward to:\n\n");
}

// Looks another queue up while it is printed, as a derived queue may.
class LookingQueue : public Queue
{
public:
    using Queue::Queue;
    std::ostream& output(std::ostream& os) const override
    {
        return Queue::output(os) << "sees " << Queue::getQueuePtr("looking")->getName() << std::endl;
    }
};

TEST(QueueOutput, AnOutputThatLooksQueuesUpDoesNotDeadlockThePrinter)
{
    LookingQueue looking("looking", 2);
    auto printed = std::async(std::launch::async, [] {
        std::ostringstream all;
        Queue::outputQueues(all);
        return all.str();
    });
    ASSERT_TRUE(readyWithinBound(printed));
    EXPECT_NE(printed.get().find("sees looking\n"), std::string::npos);
}

}  // namespace
