#include <halvix/queue/Queue.h>

#include "QueueTestSupport.h"
#include "common/ErrorRecorder.h"

#include <halvix/error/Error.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>

namespace {

using halvix::command::Macro;
using halvix::error::Error;
using halvix::queue::Queue;
using halvix::test::CountedMacro;
using halvix::test::ErrorRecorder;

TEST(QueueRegistry, NamesAreUniqueAndReusableAfterDestruction)
{
    ErrorRecorder errors;
    auto first = std::make_unique<Queue>("Q", 4);
    try {
        Queue clash("Q", 4);
        FAIL() << "a second queue named Q was built";
    } catch (const Error& error) {
        EXPECT_EQ(error.getName(), "AlreadyExists");
        EXPECT_EQ(error.getSeverity(), Error::ERROR);
    }
    ASSERT_EQ(errors.messages().size(), 1u);
    EXPECT_EQ(errors.entries()[0].function, "Queue");
    EXPECT_EQ(errors.messages()[0],
              "Queue 'Q' is already in the Queue Collection (i.e., name is not unique).");
    EXPECT_EQ(Queue::getQueuePtr("Q"), first.get());

    CountedMacro macro("M", false);
    EXPECT_TRUE(first->write(&macro, 0));  // still usable
    first.reset();
    EXPECT_EQ(Queue::getQueuePtr("Q"), nullptr);
    ASSERT_EQ(errors.entries().size(), 2u);
    EXPECT_EQ(errors.entries()[1].name, "DoesNotExist");
    EXPECT_EQ(errors.entries()[1].severity, Error::WARNING);
    EXPECT_EQ(errors.messages()[1], "Queue 'Q' does not exist.");

    Queue again("Q", 4);
    EXPECT_EQ(Queue::getQueuePtr("Q"), &again);
}

TEST(QueueWrite, NullMacroIsThrownAndFullQueueIsReportedWithoutLosingTheMacro)
{
    ErrorRecorder errors;
    std::atomic<int> destroyed{0};
    CountedMacro stored("first", false, &destroyed);
    Queue queue("Q", 1);
    EXPECT_THROW(queue.write(nullptr, 0), Error);
    ASSERT_EQ(errors.messages().size(), 1u);
    EXPECT_EQ(errors.messages()[0], "Null pointer (macroPtr) passed to Queue::write for queue 'Q'.");

    auto* refused = new CountedMacro("M", true, &destroyed);
    EXPECT_TRUE(queue.write(&stored, 0));
    EXPECT_FALSE(queue.write(refused, 0));
    ASSERT_EQ(errors.entries().size(), 2u);
    EXPECT_EQ(errors.entries()[1].name, "QueueWriteError");
    EXPECT_EQ(errors.entries()[1].severity, Error::ERROR);
    EXPECT_EQ(errors.messages()[1], "Could not write macro 'M' to queue 'Q'.");
    EXPECT_EQ(destroyed.load(), 0);  // the refused macro stays with its writer
    delete refused;
}

TEST(QueueRead, OldestFirstAndTimeOutGivesNull)
{
    Queue queue("R", 3);
    CountedMacro a("a", false), b("b", false);
    EXPECT_TRUE(queue.write(&a, 0));
    EXPECT_TRUE(queue.write(&b, -1));
    EXPECT_EQ(queue.size(), 2u);
    Macro* taken = nullptr;
    EXPECT_TRUE(queue.read(taken, 0));
    EXPECT_EQ(taken, &a);
    EXPECT_TRUE(queue.read(taken, 10));
    EXPECT_EQ(taken, &b);
    EXPECT_FALSE(queue.read(taken, 0));
    EXPECT_EQ(taken, nullptr);
}

TEST(QueueCapacity, AllOnesGivesThirtyTwoSlots)
{
    ErrorRecorder errors;
    CountedMacro macro("m", false);
    Queue queue("Default", static_cast<unsigned long>(-1));
    EXPECT_EQ(queue.getMaxMacros(), static_cast<unsigned long>(-1));
    for (int i = 0; i < 32; ++i) {
        ASSERT_TRUE(queue.write(&macro, 0)) << i;
    }
    EXPECT_FALSE(queue.write(&macro, 0));
    EXPECT_EQ(queue.size(), 32u);
}

TEST(QueueCleanUp, DeletesOnlyAutoDeleteMacros)
{
    std::atomic<int> destroyed{0};
    auto* owned = new CountedMacro("owned", true, &destroyed);
    CountedMacro kept("kept", false, &destroyed);
    {
        Queue queue("C", 4);
        queue.write(owned, 0);
        queue.write(&kept, 0);
    }
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(QueueOutput, PrintsLabelledLinesAndEveryQueue)
{
    Queue queue("Q", 10);
    Queue target("T", 2);
    std::ostringstream fresh;
    fresh << queue;
    const std::string text = fresh.str();
    EXPECT_EQ(text.rfind("Name                = 'Q'\n"
                         "Max. macros         = 10\n"
                         "Queue handle        = 0x",
                         0),
              0u)
        << text;
    std::ostringstream algorithm;
    algorithm << "Queue selection alg.= 0x" << std::hex
              << reinterpret_cast<std::uintptr_t>(&Queue::selectLeastUtilizedQueue)
              << "\nQueues to forward to:\n";
    EXPECT_NE(text.find(algorithm.str()), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - algorithm.str().size()), algorithm.str());

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

}  // namespace
