#include <halvix/queue/WriteCommand.h>

#include "QueueTestSupport.h"
#include "common/ErrorRecorder.h"

#include <halvix/command/NoOpCommand.h>
#include <halvix/queue/Queue.h>

#include <gtest/gtest.h>

namespace {

using halvix::command::Command;
using halvix::command::Macro;
using halvix::error::Error;
using halvix::queue::Queue;
using halvix::queue::WriteCommand;
using halvix::test::CountedMacro;
using halvix::test::ErrorRecorder;

// Counts its runs; lets a test see which part of a macro ran where.
class Step : public Command
{
public:
    explicit Step(int& runs) : Command("Step"), runs(runs) {}

protected:
    int myExecute() override { return ++runs, 0; }

private:
    int& runs;
};

TEST(WriteCommand, NullQueueIsReportedBeforeNullMacro)
{
    ErrorRecorder errors;
    CountedMacro macro("M", false);
    Queue queue("Q", 1);
    EXPECT_THROW(WriteCommand(nullptr, nullptr, 0), Error);
    EXPECT_THROW(WriteCommand(&queue, nullptr, 0), Error);
    EXPECT_EQ(errors.messages(),
              (std::vector<std::string>{"Null pointer (queuePtr) passed to WriteCommand::WriteCommand.",
                                        "Null pointer (macroPtr) passed to WriteCommand::WriteCommand."}));
    EXPECT_EQ(errors.entries()[0].function, "WriteCommand");

    WriteCommand write(&queue, &macro, 0);
    EXPECT_TRUE(write.stopMacro());
    EXPECT_EQ(write.getName(), "WriteCommand");
    EXPECT_EQ(write.execute(), 0);
    EXPECT_EQ(write.execute(), 1);  // full: fails at once, reported by the queue
    EXPECT_EQ(errors.messages().back(), "Could not write macro 'M' to queue 'Q'.");
}

TEST(WriteCommand, MacroHandsItselfOverAndResumesAfterTheWrite)
{
    Queue queue("handoff", 2);
    int before = 0, after = 0;
    auto* macro = new Macro("job", false, true);
    macro->add(new Step(before));
    macro->add(new WriteCommand(&queue, macro, 0));
    macro->add(new Step(after));

    EXPECT_EQ(macro->execute(), 0);  // runs up to the write and stops, not deleted
    EXPECT_EQ(before, 1);
    EXPECT_EQ(after, 0);

    Macro* read = nullptr;
    ASSERT_TRUE(queue.read(read, 0));
    ASSERT_EQ(read, macro);
    EXPECT_EQ(read->execute(), 0);  // resumes after the write, then deletes itself
    EXPECT_EQ(before, 1);
    EXPECT_EQ(after, 1);
}

TEST(WriteCommand, FailedSelfHandOffLeavesTheMacroWithItsExecutor)
{
    ErrorRecorder errors;
    CountedMacro filler("filler", false);
    Queue queue("full", 1);
    ASSERT_TRUE(queue.write(&filler, 0));
    std::atomic<int> destroyed{0};
    auto* macro = new CountedMacro("job", true, &destroyed);
    macro->add(new WriteCommand(&queue, macro, 0));
    macro->add(new halvix::command::NoOpCommand());
    EXPECT_EQ(macro->execute(), 1);
    EXPECT_EQ(destroyed.load(), 0);
    delete macro;
}

}  // namespace
