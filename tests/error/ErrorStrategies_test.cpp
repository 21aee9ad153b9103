// Where reported errors go: the default strategy, StandardOut, application strategies, HALVIX_THROW.
#include <halvix/error/DefaultStrategy.h>

#include "common/ErrorRecorder.h"

#include <halvix/error/Report.h>
#include <halvix/error/StandardOutStrategy.h>
#include <halvix/strategy/Strategy.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

using halvix::error::Error;
using halvix::error::StandardOutStrategy;
using halvix::strategy::Strategy;
using halvix::test::ErrorRecorder;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Whether the default error strategy was in place when this binary's own
// static initialisers ran (the library's initialisers must come first).
const bool defaultRegisteredBeforeApplicationStatics = [] {
    const Strategy::StrategyCollectionInfo* info = Strategy::findCollectionInfo(Error::STRATEGY_TYPE);
    return info != nullptr && info->defaultStrategyPtr != nullptr;
}();

// An application strategy that declines every error.
class Uninterested : public halvix::strategy::StrategyT<Error>
{
public:
    Uninterested() : StrategyT<Error>(Error::STRATEGY_TYPE, "Uninterested", false) {}
    bool isInterested(const Error&) const override { return false; }
    void processClientObject(Error&) override { ADD_FAILURE() << "offered an error it declined"; }
};

std::string reportedText(const std::string& message)
{
    CaptureStderr();
    HALVIX_REPORT("op", Error::NULL_PTR, Error::ERROR, message);
    return GetCapturedStderr();
}

int timesPrinted(const std::string& stderrText)
{
    int count = 0;
    for (auto at = stderrText.find("!ERROR: NullPtr"); at != std::string::npos;
         at = stderrText.find("!ERROR: NullPtr", at + 1)) {
        ++count;
    }
    return count;
}

TEST(ErrorStrategies, DefaultPrintsEachErrorOnceUntilAnotherStrategyTakesOver)
{
    EXPECT_TRUE(defaultRegisteredBeforeApplicationStatics);
    const std::string text = reportedText("plain message");
    EXPECT_EQ(timesPrinted(text), 1);
    EXPECT_EQ(text.substr(text.size() - 14), "plain message\n");
    const std::string withNewline = reportedText("ends in newline\n");
    EXPECT_EQ(withNewline.substr(withNewline.size() - 17), "ends in newline\n\n");
    {
        ErrorRecorder own;
        EXPECT_EQ(timesPrinted(reportedText("silenced")), 0);  // default no longer consulted
        EXPECT_EQ(own.entries().size(), 1u);
    }
    // StandardOut keeps errors printed beside application strategies.
    StandardOutStrategy standardOut;
    EXPECT_EQ(timesPrinted(reportedText("once")), 1);
    Uninterested uninterested;
    EXPECT_EQ(timesPrinted(reportedText("still once")), 1);
}

TEST(ErrorStrategies, RegistryDumpMatchesTheDocumentedLayout)
{
    StandardOutStrategy standardOut;
    std::ostringstream os;
    Strategy::outputStrategyTypes(os);
    // This binary registers no other types, so the dump is exactly this.
    EXPECT_EQ(os.str(), "*** Current strategies are:\n"
                        "---------------- Error ...\n"
                        "Default strategy: \n"
                        "Type = 'Error'\n"
                        "Name = 'Default Error Strategy'\n"
                        "\n"
                        "Type = 'Error'\n"
                        "Name = 'StandardOut'\n"
                        "\n"
                        ".. end of Error\n"
                        "... Done.\n");
}

TEST(Report, ThrowingFormRoutesFirstThenThrows)
{
    ErrorRecorder own;
    try {
        HALVIX_THROW("op", Error::DOES_NOT_EXIST, Error::WARNING, "gone");
        FAIL() << "HALVIX_THROW did not throw";
    } catch (const Error& error) {
        EXPECT_EQ(own.reports(), std::vector<std::string>{"DoesNotExist/WARNING/op: gone"});
        EXPECT_EQ(error.getName(), Error::DOES_NOT_EXIST);
    }
}

}  // namespace
