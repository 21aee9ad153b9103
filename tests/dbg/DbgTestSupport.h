// Shared helpers of the dbg tests: a fresh trace state and traces from a
// chosen place.
#ifndef HALVIX_TESTS_DBG_DBGTESTSUPPORT_H
#define HALVIX_TESTS_DBG_DBGTESTSUPPORT_H

#include <halvix/dbg/dbg.h>

#include "common/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using Strings = std::vector<std::string>;

// Each test starts as a freshly started program with "-log": mask "all",
// nothing printed yet, the calling thread not muted.
class Dbg : public testing::Test
{
protected:
    void SetUp() override
    {
        char program[] = "test";
        char log[] = "-log";
        char* argv[] = {program, log, nullptr};
        int argc = 2;
        _dbg_init(&argc, argv);
        _dbg_enable();
    }
};

// One trace call as the DBG_* forms make it, but with the place given, so
// that the prefix is known to the character.
inline void traceFrom(_dbgLevel_t type, const char* file, const char* function, int64_t line,
                      const char* domain, const char* message)
{
    _dbg_lock();
    _dbg_type = type;
    _dbg_filename = file;
    _dbg_function = function;
    _dbg_line = line;
    _dbg_trace(domain, "%s", message);
}

inline std::string hexId(unsigned long id)
{
    return halvix::test::hexText(reinterpret_cast<void*>(id));
}

#endif  // HALVIX_TESTS_DBG_DBGTESTSUPPORT_H
