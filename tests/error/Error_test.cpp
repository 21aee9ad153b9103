// Error objects: the header text, copies and throws, and error-type names that outlive the process's exit.
#include <halvix/error/Error.h>

#include <halvix/error/Report.h>
#include <halvix/queue/Queue.h>
#include <halvix/task/Task.h>
#include <halvix/timer/Timer.h>

#include "common/TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using halvix::error::Error;

std::string textOf(const Error& error)
{
    std::ostringstream os;
    os << error;
    return os.str();
}

TEST(ErrorHeader, TwoLinesNamingSeverityTypeUserTimeAndSource)
{
    ::setenv("USER", "alice", 1);
    Error error("queue/src/Queue.cpp", 57, "write", Error::NULL_PTR, Error::ERROR);
    const std::string header = textOf(error);
    EXPECT_TRUE(std::regex_match(header, std::regex("!ERROR: NullPtr by alice on "
                                                    "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] "
                                                    "[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\\.\n"
                                                    "Generated from queue/src/Queue.cpp/57/write:\n")))
        << header;
    error.getStream() << "message";
    EXPECT_EQ(textOf(error), header + "message");

    ::unsetenv("USER");
    Error unknown("f", 1, "g", "Custom", static_cast<Error::Severity>(7));
    EXPECT_EQ(textOf(unknown).rfind("!UNKNOWN: Custom by -- not available -- on ", 0), 0u);
    EXPECT_EQ(Error::severityToString(static_cast<Error::Severity>(0)), "UNKNOWN");
    EXPECT_EQ(Error::severityToString(Error::INFO), "INFO");
    EXPECT_EQ(Error::severityToString(Error::FATAL), "FATAL");

    // A null file or function cuts the text there.
    Error noFile(nullptr, 3, "f", Error::NULL_PTR, Error::ERROR);
    Error noFunction("file", 3, nullptr, Error::NULL_PTR, Error::ERROR);
    noFile.getStream() << "dropped";
    noFunction.getStream() << "dropped";
    EXPECT_EQ(textOf(noFile).substr(textOf(noFile).find('\n') + 1), "Generated from ");
    EXPECT_EQ(textOf(noFunction).substr(textOf(noFunction).find('\n') + 1), "Generated from file/3/");
}

TEST(ErrorCopy, CarriesTextAndThrowDeliversAnEqualError)
{
    Error original("file", 9, "op", Error::INVALID_ARGUMENT, Error::WARNING);
    original.getStream() << "first";
    Error copy(original);
    copy.getStream() << " second";
    EXPECT_EQ(textOf(copy), textOf(original) + " second");

    try {
        original.throwError();
        FAIL() << "throwError returned";
    } catch (const Error& caught) {
        EXPECT_EQ(caught.getName(), Error::INVALID_ARGUMENT);
        EXPECT_EQ(caught.getSeverity(), Error::WARNING);
        EXPECT_EQ(textOf(caught), textOf(original));
    }
}

TEST(ErrorThreads, ManyThreadsBuildErrorsAtOnce)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 200; ++i) {
                Error error("file", i, "op", Error::NULL_PTR, Error::ERROR);
                error.getStream() << i;
                EXPECT_NE(textOf(error).find(" on "), std::string::npos);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

std::atomic<int> reportsMade{0};

// Reports an error under every error-type name of the library, again and
// again, and ends the process with status 3 if a name no longer reads right.
void* reportUntilTheProcessEnds(void*)
{
    using halvix::queue::Queue;
    using halvix::task::Task;
    using halvix::timer::Timer;
    const std::pair<const std::string*, const char*> names[] = {
        {&Error::STRATEGY_TYPE, "Error"},
        {&Error::ALREADY_EXISTS, "AlreadyExists"},
        {&Error::DOES_NOT_EXIST, "DoesNotExist"},
        {&Error::INVALID_ARGUMENT, "InvalidArgument"},
        {&Error::NOT_IMPLEMENTED, "NotImplemented"},
        {&Error::NULL_PTR, "NullPtr"},
        {&Error::UNKNOWN_EXCEPTION, "UnknownException"},
        {&Queue::WRITE_ERROR, "QueueWriteError"},
        {&Task::TASK_ERROR, "TaskError"},
        {&Task::WRONG_STATE_ERROR, "WrongTaskState"},
        {&Timer::TIMER_ERROR, "TimerError"},
        {&Timer::WRONG_STATE_ERROR, "WrongTimerState"},
    };
    for (;;) {
        for (const auto& name : names) {
            if (*name.first != name.second) {
                _exit(3);
            }
            HALVIX_REPORT("reportUntilTheProcessEnds", *name.first, Error::WARNING,
                          "while the process exits");
        }
        reportsMade.fetch_add(1, std::memory_order_relaxed);
    }
}

TEST(ErrorNames, ReportingWhileTheProcessExitsNeverCrashes)
{
    halvix::test::expectChildExitsCleanly(
        [] { halvix::test::exitWhileThreadsRun(reportUntilTheProcessEnds, reportsMade, 10); }, 20);
}

}  // namespace
