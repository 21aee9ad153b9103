#include <halvix/error/DefaultStrategy.h>

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
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Whether the default error strategy was in place when this binary's own
// static initialisers ran (the library's initialisers must come first).
const bool defaultRegisteredBeforeApplicationStatics = [] {
    const Strategy::StrategyCollectionInfo* info = Strategy::findCollectionInfo(Error::STRATEGY_TYPE);
    return info != nullptr && info->defaultStrategyPtr != nullptr;
}();

// An application strategy that counts what it is offered.
class Counting : public halvix::strategy::StrategyT<Error>
{
public:
    explicit Counting(bool interested)
        : StrategyT<Error>(Error::STRATEGY_TYPE, "Counting", false), interested(interested)
    {
    }
    bool isInterested(const Error&) const override { return interested; }
    void processClientObject(Error&) override { ++processed; }
    int processed = 0;

private:
    bool interested;
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

TEST(DefaultStrategy, IsInPlaceBeforeApplicationCodeAndPrintsEachErrorOnce)
{
    EXPECT_TRUE(defaultRegisteredBeforeApplicationStatics);

    const std::string text = reportedText("plain message");
    EXPECT_EQ(timesPrinted(text), 1);
    EXPECT_EQ(text.substr(text.size() - 14), "plain message\n");

    const std::string withNewline = reportedText("ends in newline\n");
    EXPECT_EQ(withNewline.substr(withNewline.size() - 17), "ends in newline\n\n");
}

TEST(StandardOutStrategy, KeepsErrorsPrintedBesideApplicationStrategies)
{
    {
        Counting own(/*interested=*/true);
        EXPECT_EQ(timesPrinted(reportedText("silenced")), 0);  // default no longer consulted
        EXPECT_EQ(own.processed, 1);
    }
    StandardOutStrategy standardOut;
    EXPECT_EQ(timesPrinted(reportedText("once")), 1);
    Counting uninterested(/*interested=*/false);
    EXPECT_EQ(timesPrinted(reportedText("still once")), 1);
    EXPECT_EQ(uninterested.processed, 0);
}

TEST(StandardOutStrategy, RegistryDumpMatchesTheDocumentedLayout)
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
    Counting own(/*interested=*/true);
    try {
        HALVIX_THROW("op", Error::DOES_NOT_EXIST, Error::WARNING, "gone");
    } catch (const Error& error) {
        EXPECT_EQ(own.processed, 1);
        EXPECT_EQ(error.getName(), Error::DOES_NOT_EXIST);
        std::ostringstream os;
        os << error;
        EXPECT_NE(os.str().find("/op:\ngone"), std::string::npos);
        return;
    }
    FAIL() << "HALVIX_THROW did not throw";
}

}  // namespace
