// The plain commands: their names, results, output and the sleep of SleepCommand.
#include "halvix/command/Command.h"

#include "halvix/command/NoOpCommand.h"
#include "halvix/command/SleepCommand.h"

#include "common/TestSupport.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace halvix::command;
using halvix::test::Clock;
using halvix::test::milliseconds;
using halvix::test::since;

TEST(Command, TrivialCommandsNameResultAndOutput)
{
    NoOpCommand noOp;
    EXPECT_EQ(noOp.execute(), 0);
    EXPECT_FALSE(noOp.stopMacro());
    std::ostringstream os;
    os << noOp << SleepCommand(0);
    EXPECT_EQ(os.str(), "Name = 'NoOpCommand'\nName = 'Sleep'\n");
}

TEST(SleepCommand, SleepsAtLeastTheTimeAndNegativeMeansNoSleep)
{
    auto start = Clock::now();
    EXPECT_EQ(SleepCommand(0).execute(), 0);
    EXPECT_EQ(SleepCommand(-1).execute(), 0);  // not ~71 minutes
    EXPECT_LT(since(start), milliseconds(1000));

    start = Clock::now();
    EXPECT_EQ(SleepCommand(20000).execute(), 0);
    EXPECT_GE(since(start), milliseconds(20));
    EXPECT_LT(since(start), milliseconds(2000));
}
