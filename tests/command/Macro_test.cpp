// Macros: order of execution, stops, continue on error, reset, auto-delete, output and refused arguments.
#include "halvix/command/Macro.h"

#include "common/ErrorRecorder.h"
#include "halvix/command/NoOpCommand.h"
#include "halvix/command/SleepCommand.h"
#include "halvix/error/Error.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

using namespace halvix::command;
using halvix::error::Error;

namespace {

// What the probes of one test saw: executions in order, resets, destructions.
struct Log
{
    std::string ran;
    std::string asked;  // stopMacro questions, interleaved with executions
    int resets = 0;
    int destroyed = 0;
};

// A command with a fixed result and stop answer that records into a Log and
// may run an extra action (reset or throw) while it executes.
class Probe : public Command
{
public:
    Probe(
        Log& into, char letter, int returns = 0, bool stops = false, std::function<void()> also = [] {})
        : Command(std::string(1, letter)), log(into), id(letter), result(returns), stop(stops),
          action(std::move(also))
    {
    }
    ~Probe() override { ++log.destroyed; }
    bool stopMacro() const override
    {
        log.asked += '?';
        return stop;
    }

protected:
    int myExecute() override
    {
        log.ran += id;
        log.asked += id;
        action();
        return result;
    }
    void myReset() override { ++log.resets; }

private:
    Log& log;
    char id;
    int result;
    bool stop;
    std::function<void()> action;
};

// A macro whose own deletion shows in the log.
class CountedMacro : public Macro
{
public:
    CountedMacro(Log& into, bool goesOnAfterErrors, bool deletesItself)
        : Macro("M", goesOnAfterErrors, deletesItself), log(into)
    {
    }
    ~CountedMacro() override { log.destroyed += 100; }

private:
    Log& log;
};

std::string currentIndex(const Macro& macro)
{
    std::ostringstream os;
    os << macro;
    const std::string label = "Current index = ";
    const auto at = os.str().find(label) + label.size();
    return os.str().substr(at, os.str().find('\n', at) - at);
}

}  // namespace

TEST(Macro, AFailureStopsTheRunUnlessContinueOnError)
{
    for (bool continueOnError : {false, true}) {
        Log log;
        Macro macro("M", continueOnError, false);
        macro.add(new Probe(log, 'a'));
        macro.add(new Probe(log, 'b', 7));
        macro.add(new Probe(log, 'c'));
        EXPECT_EQ(macro.execute(), continueOnError ? 0 : 7);
        EXPECT_EQ(log.ran, continueOnError ? "abc" : "ab");
        EXPECT_EQ(currentIndex(macro), continueOnError ? "3" : "2");
    }
}

// A completed run does not start over by itself; reset() rewinds it,
// reaching every command, also from inside a run.
TEST(Macro, ResetRewindsACompletedRunAndWorksFromInsideARun)
{
    Log done;
    Macro once("once", false, false);
    once.add(new Probe(done, 'a'));
    EXPECT_EQ(once.execute() + once.execute(), 0);
    once.reset();
    EXPECT_EQ(once.execute(), 0);
    EXPECT_EQ(done.ran, "aa");
    Log log;
    Macro macro("M", false, false);
    macro.add(new Probe(log, 'a'));
    macro.add(new Probe(log, 'r', 0, true, [&macro] { macro.reset(); }));
    macro.add(new Probe(log, 'b'));
    EXPECT_EQ(macro.execute(), 0);
    EXPECT_EQ(log.ran, "ar");
    EXPECT_EQ(log.resets, 3);
    EXPECT_EQ(currentIndex(macro), "0");  // index advanced before the reset, not after
    EXPECT_EQ(macro.execute(), 0);
    EXPECT_EQ(log.ran, "arar");
}

TEST(Macro, StopPausesAnAutoDeleteMacroWhichIsDeletedAtTheEndOfItsRun)
{
    Log log;
    auto* macro = new CountedMacro(log, false, true);
    macro->add(new Probe(log, 'a'));
    macro->add(new Probe(log, 's', 5, true));
    macro->add(new Probe(log, 'b'));
    EXPECT_EQ(macro->execute(), 5);  // a stop ends the run even on failure
    EXPECT_EQ(log.asked, "?a?s");    // asked before it executes
    EXPECT_EQ(log.destroyed, 0);
    EXPECT_EQ(currentIndex(*macro), "2");
    EXPECT_EQ(macro->execute(), 0);
    EXPECT_EQ(log.ran, "asb");
    EXPECT_EQ(log.destroyed, 103);  // the macro and its three commands

    // Also after stopping at the last command, after a failure, or empty.
    Log last, failed, empty;
    macro = new CountedMacro(last, false, true);
    macro->add(new Probe(last, 's', 0, true));
    EXPECT_EQ(macro->execute(), 0);
    macro = new CountedMacro(failed, false, true);
    macro->add(new Probe(failed, 'f', 3));
    macro->add(new Probe(failed, 'x'));
    EXPECT_EQ(macro->execute(), 3);
    EXPECT_EQ((new CountedMacro(empty, false, true))->execute(), 0);
    EXPECT_EQ(last.destroyed, 101);
    EXPECT_EQ(failed.destroyed, 102);
    EXPECT_EQ(empty.destroyed, 100);
}

TEST(Macro, AnExceptionLeavesAtOnceEvenWithContinueOnErrorAndDeletesNothing)
{
    Log thrown;
    auto* macro = new CountedMacro(thrown, true, true);
    macro->add(new Probe(thrown, 't', 0, false, [] { throw std::runtime_error("boom"); }));
    macro->add(new Probe(thrown, 'b'));
    EXPECT_THROW(macro->execute(), std::runtime_error);
    EXPECT_EQ(thrown.ran, "t");
    EXPECT_EQ(thrown.destroyed, 0);
    EXPECT_EQ(currentIndex(*macro), "1");
    delete macro;  // the destructor deletes every command
    EXPECT_EQ(thrown.destroyed, 102);
}

TEST(Macro, OutputTextExactly)
{
    Macro macro("M", false, true);
    macro.add(new NoOpCommand);
    macro.add(new SleepCommand(0));
    std::ostringstream os;
    os << macro;
    EXPECT_EQ(os.str(), "Name = 'M'\nContinue on error? = 0\nAuto delete? = 1\nCurrent index = 0\n"
                        "Constituent commands:\nName = 'NoOpCommand'\nName = 'Sleep'\n");

    auto* inner = new Macro("I", true, false);
    inner->add(new NoOpCommand);
    Macro outer("O", true, false);
    outer.add(inner);
    std::ostringstream nested;
    nested << std::boolalpha << outer;
    EXPECT_EQ(nested.str(),
              "Name = 'O'\nContinue on error? = true\nAuto delete? = false\nCurrent index = 0\n"
              "Constituent commands:\nName = 'I'\nContinue on error? = true\nAuto delete? = false\n"
              "Current index = 0\nConstituent commands:\nName = 'NoOpCommand'\n");
}

TEST(Macro, RefusedArgumentsAreReportedNotThrown)
{
    halvix::test::ErrorRecorder recorder;
    Macro macro("M", false, false);
    macro.add(new NoOpCommand);

    EXPECT_NO_THROW(macro.add(nullptr));
    Macro selfDeleting("D", false, true);
    macro.add(&selfDeleting);  // refused, so still ours to destroy
    EXPECT_EQ(macro.size(), 1u);
    EXPECT_NE(macro.getCommandPtr(0), nullptr);
    EXPECT_EQ(macro.getCommandPtr(1), nullptr);

    EXPECT_EQ(
        recorder.reports(),
        (std::vector<std::string>{
            "NullPtr/ERROR/add: Null pointer (commandPtr) passed to Macro::add for macro command 'M'.",
            "InvalidArgument/ERROR/add: Auto-delete macro 'D' passed to Macro::add for macro command 'M' - "
            "an auto-delete macro cannot be nested.",
            "InvalidArgument/ERROR/getCommandPtr: Invalid index (1) specified for macro command 'M'."}));
}

TEST(Macro, ErrorHeaderNamesTheSourceRelativeToTheSourceTreeNotTheBuildMachine)
{
    Macro macro("M", false, false);
    testing::internal::CaptureStderr();
    macro.add(nullptr);  // reported by the default strategy on standard error
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_NE(text.find("\nGenerated from halvix/command/src/Macro.cpp/"), std::string::npos) << text;
}
