// WriteCommand: a macro that writes itself to a queue and resumes where it stopped.
#include <halvix/queue/WriteCommand.h>

#include "QueueTestSupport.h"
#include "common/ErrorRecorder.h"
#include "task/TaskTestSupport.h"

#include <halvix/command/NoOpCommand.h>
#include <halvix/queue/Queue.h>

#include <gtest/gtest.h>

namespace {

using namespace halvix::test;
using halvix::command::Macro;
using halvix::error::Error;
using halvix::queue::Queue;
using halvix::queue::WriteCommand;

TEST(WriteCommand, WritesAndStopsItsMacroAndNullArgumentsAreThrownQueueFirst)
{
    ErrorRecorder errors;
    CountedMacro macro("M", false);
    Queue queue("Q", 1);
    EXPECT_THROW(WriteCommand(nullptr, nullptr, 0), Error);
    EXPECT_THROW(WriteCommand(&queue, nullptr, 0), Error);
    WriteCommand write(&queue, &macro, 0);
    EXPECT_TRUE(write.stopMacro());
    EXPECT_EQ(write.getName(), "WriteCommand");
    EXPECT_EQ(write.execute(), 0);
    EXPECT_EQ(write.execute(), 1);  // full: fails at once, reported by the queue
    EXPECT_EQ(
        errors.reports(),
        (Lines{"NullPtr/ERROR/WriteCommand: Null pointer (queuePtr) passed to WriteCommand::WriteCommand.",
               "NullPtr/ERROR/WriteCommand: Null pointer (macroPtr) passed to WriteCommand::WriteCommand.",
               "QueueWriteError/ERROR/write: Could not write macro 'M' to queue 'Q'."}));
}

TEST(WriteCommand, MacroHandsItselfOverAndResumesAfterTheWriteOrStaysWithItsExecutorIfRefused)
{
    CountedMacro filler("filler", false);  // outlives the queue that stores it
    Queue queue("handoff", 1);
    int before = 0, after = 0;
    auto* macro = new Macro("job", false, true);
    macro->add(new FunctionCommand([&before] { ++before; }));
    macro->add(new WriteCommand(&queue, macro, 0));
    macro->add(new FunctionCommand([&after] { ++after; }));
    EXPECT_EQ(macro->execute(), 0);  // runs up to the write and stops, not deleted
    EXPECT_EQ(before, 1);
    EXPECT_EQ(after, 0);
    Macro* read = nullptr;
    ASSERT_TRUE(queue.read(read, 0));
    ASSERT_EQ(read, macro);
    EXPECT_EQ(read->execute(), 0);  // resumes after the write, then deletes itself
    EXPECT_EQ(after, 1);

    ErrorRecorder errors;
    ASSERT_TRUE(queue.write(&filler, 0));
    std::atomic<int> destroyed{0};
    auto* refused = new CountedMacro("job", true, &destroyed);
    refused->add(new WriteCommand(&queue, refused, 0));
    refused->add(new halvix::command::NoOpCommand());
    EXPECT_EQ(refused->execute(), 1);
    EXPECT_EQ(destroyed.load(), 0);
    delete refused;
}

}  // namespace
