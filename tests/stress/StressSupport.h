// Shared by the stress tests: a line that tells how much was done in how
// long, so a CI log shows the load (bounded waits and scaled volumes come
// from common/TestSupport.h).
#ifndef HALVIX_TESTS_STRESS_STRESSSUPPORT_H
#define HALVIX_TESTS_STRESS_STRESSSUPPORT_H

#include "common/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace halvix::test {

// Measures one stress run and reports "<what>: <volume> in <seconds> s" on
// standard output and as test properties.
class Volume
{
public:
    explicit Volume(std::string run) : what(std::move(run)) {}

    void report(long long volume, const char* unit)
    {
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        std::printf("[ stress   ] %s: %lld %s in %.2f s\n", what.c_str(), volume, unit, seconds);
        testing::Test::RecordProperty(unit, std::to_string(volume));
        testing::Test::RecordProperty("seconds", std::to_string(seconds));
    }

private:
    std::string what;
    Clock::time_point started = Clock::now();
};

}  // namespace halvix::test

#endif  // HALVIX_TESTS_STRESS_STRESSSUPPORT_H
