// The trace layer's assertions and the fatal warning: each stops the process with its own text.
#include <halvix/dbg/dbg.h>

#include <gtest/gtest.h>

#include <string>

// Locking the trace lock twice and unlocking it unheld are provoked on purpose
// below; ThreadSanitizer would report them as misuse before the assertion.
extern "C" const char* __tsan_default_suppressions()
{
    return "mutex:_dbg_lock\nmutex:_dbg_unlock\n";
}

// Makes the trace lock report misuse instead of deadlocking or ignoring it.
static void useErrorCheckingLock()
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&_dbg_mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

TEST(DbgDeathTest, ControlAssertions)
{
    EXPECT_DEATH(_dbg_set_level(static_cast<_dbgLevel_t>(3)),
                 "void _dbg_set_level\\(_dbgLevel_t\\): Assertion `Level == DBG_LEVEL_WARN \\|\\| "
                 "Level == DBG_LEVEL_TRACE \\|\\| Level == DBG_LEVEL_LOG' failed");
    EXPECT_DEATH(_dbg_set_level(static_cast<_dbgLevel_t>(-1)), "Assertion `Level == DBG_LEVEL_WARN");
    EXPECT_DEATH(_dbg_set_mask(std::string(255, 'm').c_str()),
                 "void _dbg_set_mask\\(const char\\*\\): Assertion `strlen\\( mask \\) < "
                 "\\(_DBG_MAX_DOMAIN-1\\)' failed");
    EXPECT_DEATH(
        {
            useErrorCheckingLock();
            _dbg_lock();
            _dbg_lock();
        },
        "void _dbg_lock\\(\\): Assertion `pthread_mutex_lock\\( &_dbg_mutex \\)==0' failed");
    EXPECT_DEATH(
        {
            useErrorCheckingLock();
            _dbg_unlock();
        },
        "void _dbg_unlock\\(\\): Assertion `pthread_mutex_unlock\\( &_dbg_mutex \\)==0' failed");
}

TEST(DbgDeathTest, WarningIsWrittenThenFatal)
{
    // Without _dbg_init the mask is empty: only domain "all" gets through.
    EXPECT_DEATH(DBG_WARN("all", "cannot continue: %d", 42),
                 "\n?!\\{[^}]*DbgDeath_test.cpp 0x[0-9a-f]+ TestBody [0-9]+\\} cannot continue: 42\n.*"
                 "void _dbg_trace\\(const char\\*, const char\\*, ...\\): Assertion `0' failed");
}
