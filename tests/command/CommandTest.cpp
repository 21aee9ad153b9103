#include "halvix/command/Command.h"

#include "halvix/command/NoOpCommand.h"
#include "halvix/command/SleepCommand.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

using namespace halvix::command;
using Clock = std::chrono::steady_clock;

namespace {

long elapsedUs(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
}

}  // namespace

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
    EXPECT_LT(elapsedUs(start), 1000000);

    start = Clock::now();
    EXPECT_EQ(SleepCommand(20000).execute(), 0);
    const long slept = elapsedUs(start);
    EXPECT_GE(slept, 20000);
    EXPECT_LT(slept, 2000000);
}
