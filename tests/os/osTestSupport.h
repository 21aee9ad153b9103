// Shared by the OS layer's tests: death-test patterns, task options, traces.
#ifndef HALVIX_TESTS_OS_OSTESTSUPPORT_H
#define HALVIX_TESTS_OS_OSTESTSUPPORT_H

#include "halvix/dbg/dbg.h"
#include "halvix/os/osMutex.h"
#include "halvix/os/osTask.h"

#include "common/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>

using halvix::test::Clock;
using halvix::test::hexText;
using halvix::test::kLateness;
using halvix::test::milliseconds;
using halvix::test::since;

// Matches "<signature>: Assertion `<expression>' failed" literally (POSIX extended, as EXPECT_DEATH uses).
inline std::string assertionPattern(const std::string& signature, const std::string& expression)
{
    std::string pattern;
    for (char c : signature + ": Assertion `" + expression + "' failed") {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) {
            pattern += '\\';
        }
        pattern += c;
    }
    return pattern;
}

// Options of a joinable task named "task" (fields: name, priority, stack size, persistent, joinable,
// reserved).
inline halvix::os::osTaskOptions_t joinableOptions(int64_t stacksize = 0, int priority = 0)
{
    return {"task", priority, stacksize, 0, 1, nullptr};
}

// Try-locks `mutex` on another thread, releasing it again on success.
inline bool tryLockFromOtherThread(halvix::os::osMutex_t mutex)
{
    return std::async(std::launch::async,
                      [mutex] {
                          const bool held = halvix::os::osMutexLock(mutex, true);
                          if (held) {
                              halvix::os::osMutexUnlock(mutex);
                          }
                          return held;
                      })
        .get();
}

// What `calls` trace in domain "dbg" at log level; the default filter is restored afterwards.
inline std::string dbgTracesOf(const std::function<void()>& calls)
{
    _dbg_set_mask("dbg");
    _dbg_set_level(DBG_LEVEL_LOG);
    testing::internal::CaptureStderr();
    calls();
    const std::string traces = testing::internal::GetCapturedStderr();
    _dbg_set_level(DBG_LEVEL_WARN);
    _dbg_set_mask("all");
    return traces;
}

#endif  // HALVIX_TESTS_OS_OSTESTSUPPORT_H
