// The environment utilities: variables, the user name, dates in the local time zone.
#include <halvix/utils/Utils.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// Sets (or unsets, for a null value) one environment variable for the life of
// a test and restores it afterwards.
class ScopedEnv
{
public:
    ScopedEnv(const char* variable, const char* value) : name(variable)
    {
        if (const char* old = ::getenv(variable)) {
            saved = old;
            hadValue = true;
        }
        value ? ::setenv(variable, value, 1) : ::unsetenv(variable);
    }
    ~ScopedEnv() { hadValue ? ::setenv(name.c_str(), saved.c_str(), 1) : ::unsetenv(name.c_str()); }

private:
    std::string name;
    std::string saved;
    bool hadValue = false;
};

TEST(Environment, EmptyValueCountsAsDefinedAndMissingOneHasFixedText)
{
    ScopedEnv empty("HALVIX_TEST_EMPTY", "");
    ScopedEnv missing("HALVIX_TEST_MISSING", nullptr);

    EXPECT_TRUE(std::isEnvVarDefined("HALVIX_TEST_EMPTY"));
    EXPECT_EQ(std::getEnvVarValue("HALVIX_TEST_EMPTY"), "");
    EXPECT_FALSE(std::isEnvVarDefined("HALVIX_TEST_MISSING"));
    EXPECT_EQ(std::getEnvVarValue("HALVIX_TEST_MISSING"), "-- not available --");
}

TEST(Environment, UserNameComesFromUserOnly)
{
    ScopedEnv logname("LOGNAME", "somebody");
    {
        ScopedEnv user("USER", nullptr);
        EXPECT_EQ(std::getUserName(), "-- not available --");
    }
    ScopedEnv user("USER", "alice");
    EXPECT_EQ(std::getUserName(), "alice");
}

TEST(DateTime, CtimeFormOrFixedTextForAnUnrepresentableTime)
{
    ScopedEnv tz("TZ", "UTC");
    ::tzset();
    const time_t epoch = 0;
    EXPECT_EQ(std::dateTimeToStr(epoch), "Thu Jan  1 00:00:00 1970");
    const time_t later = 1234567890;  // two-digit day, no trailing newline
    EXPECT_EQ(std::dateTimeToStr(later), "Fri Feb 13 23:31:30 2009");
    const time_t farFuture = static_cast<time_t>(1) << 62;
    EXPECT_EQ(std::dateTimeToStr(farFuture), "-- invalid time --");
}

TEST(DateTime, FollowsAChangedTimeZone)
{
    ScopedEnv utc("TZ", "UTC");
    EXPECT_EQ(std::dateTimeToStr(0), "Thu Jan  1 00:00:00 1970");
    // A POSIX zone rule needs no zone files; nobody calls tzset in between.
    ScopedEnv eastern("TZ", "EST5");
    EXPECT_EQ(std::dateTimeToStr(0), "Wed Dec 31 19:00:00 1969");
}

}  // namespace
