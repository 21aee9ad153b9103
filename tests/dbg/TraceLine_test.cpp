// Trace lines: prefixes, filters, whole lines under concurrency, and traces at the edges (no memory, exit).
#include <halvix/dbg/dbg.h>

#include "DbgTestSupport.h"
#include "common/FailingAllocation.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <sstream>
#include <thread>
#include <vector>

TEST_F(Dbg, LinePrefixLeavesOutWhatDidNotChange)
{
    const std::string self = hexId(_dbg_get_current_thread_id());
    const char* file = "src/a.cpp";
    const std::string sameText = file;  // equal text, other pointer
    unsigned long other = 0;
    CaptureStderr();
    traceFrom(DBG_LEVEL_TRACE, file, "fn", 7, "x", "first");
    traceFrom(DBG_LEVEL_TRACE, file, "fn", 8, "x", "again");
    traceFrom(DBG_LEVEL_LOG, file, "other", 9, "x", "new function");
    traceFrom(DBG_LEVEL_LOG, sameText.c_str(), "other", 10, "x", "new file pointer");
    std::thread([&] {
        other = _dbg_get_current_thread_id();
        traceFrom(DBG_LEVEL_LOG, sameText.c_str(), "other", 11, "x", "other thread");
    }).join();
    traceFrom(DBG_LEVEL_LOG, sameText.c_str(), "other", 12, "x", "back");
    // Paths longer than twenty characters show their last twenty.
    traceFrom(DBG_LEVEL_LOG, "abcdefghij/klmno.cpp", "other", 13, "x", "twenty");
    traceFrom(DBG_LEVEL_LOG, "/abcdefghij/klmno.cpp", "other", 14, "x", "twenty-one");
    traceFrom(static_cast<_dbgLevel_t>(3), file, "other", -1, "x", "odd level");
    _dbg_lock();
    _dbg_type = DBG_LEVEL_LOG;
    _dbg_trace("x", "pthread error %d\n", 5);
    EXPECT_EQ(GetCapturedStderr(), "-{src/a.cpp " + self +
                                       " fn 7} first\n"
                                       "-    {8} again\n"
                                       "   {other 9} new function\n"
                                       "   {src/a.cpp 10} new file pointer\n"
                                       "   {" +
                                       hexId(other) +
                                       " 11} other thread\n"
                                       "   {" +
                                       self +
                                       " 12} back\n"
                                       "   {abcdefghij/klmno.cpp 13} twenty\n"
                                       "   {...abcdefghij/klmno.cpp 14} twenty-one\n"
                                       "   {src/a.cpp 18446744073709551615} odd level\n"
                                       "     {18446744073709551615} pthread error 5\n\n");
}

TEST_F(Dbg, MaskMutingAndLevelFilterCalls)
{
    int evaluated = 0;
    CaptureStderr();
    _dbg_set_mask("dbg");
    traceFrom(DBG_LEVEL_LOG, "f", "g", 1, "dbg", "dbg passes");
    traceFrom(DBG_LEVEL_LOG, "f", "g", 2, "net", "net is filtered");
    traceFrom(DBG_LEVEL_LOG, "f", "g", 3, "all", "all passes");
    traceFrom(DBG_LEVEL_WARN, "f", "g", 4, "net", "a filtered warning does not stop");
    _dbg_set_mask("");
    traceFrom(DBG_LEVEL_LOG, "f", "g", 5, "dbg", "an empty mask filters");
    traceFrom(DBG_LEVEL_LOG, "f", "g", 6, "all", "all still passes");
    _dbg_set_mask("x all");
    traceFrom(DBG_LEVEL_LOG, "f", "g", 7, "anything", "mask all passes");
    _dbg_disable();
    _dbg_disable();
    EXPECT_EQ(_dbg_disabled_thread.size(), 1u);
    traceFrom(DBG_LEVEL_LOG, "f", "g", 8, "all", "while muted");
    traceFrom(DBG_LEVEL_WARN, "f", "g", 9, "all", "a muted warning does not stop");
    _dbg_enable();
    // The level is tested before the arguments are evaluated.
    _dbg_set_level(DBG_LEVEL_WARN);
    DBG_TRACE("all", "%d", ++evaluated);
    DBG_LOG("all", "%d", ++evaluated);
    _dbg_set_level(DBG_LEVEL_TRACE);
    DBG_LOG("all", "%d", ++evaluated);
    DBG_TRACE("all", "traced %d", ++evaluated);
    EXPECT_EQ(evaluated, 1);
    std::istringstream lines(GetCapturedStderr());
    Strings shown;
    for (std::string line; std::getline(lines, line);) {
        shown.push_back(line.substr(line.find("} ") + 2));
    }
    EXPECT_EQ(shown,
              (Strings{"dbg passes", "all passes", "all still passes", "mask all passes", "traced 1"}));
}

// Lines of threads tracing at once never interleave and keep each thread's order.
TEST_F(Dbg, ConcurrentLinesStayWhole)
{
    const int kLines = halvix::test::scaled(500, 500, 50);
    constexpr int kThreads = 4;
    CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, kLines] {
            for (int i = 0; i < kLines; ++i) {
                DBG_LOG(i % 2 ? "dbg" : "all", "<%d:%d>", t, i);
                if (i % 50 == 0) {
                    _dbg_disable();
                    _dbg_enable();
                    _dbg_set_level(DBG_LEVEL_LOG);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::istringstream lines(GetCapturedStderr());
    std::vector<int> next(kThreads, 0);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        const size_t at = line.find("} <");
        int t = -1, i = -1, length = 0;
        ASSERT_TRUE(at != std::string::npos &&
                    sscanf(line.c_str() + at, "} <%d:%d>%n", &t, &i, &length) == 2 &&
                    at + length == line.size() && t >= 0 && t < kThreads)
            << line;
        EXPECT_EQ(i, next[t]++) << line;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

// True, and the lock released again, when no thread holds the trace lock: a
// trace that kept it would make every later trace wait for ever.
static bool traceLockIsFree()
{
    if (pthread_mutex_trylock(&_dbg_mutex) != 0) {
        return false;
    }
    pthread_mutex_unlock(&_dbg_mutex);
    return true;
}

TEST_F(Dbg, AllocationFailureInsideATraceNeitherThrowsNorKeepsTheLock)
{
    const std::string longName(300, 'f');  // a prefix longer than any fixed buffer
    bool threw = false;
    CaptureStderr();
    {
        halvix::test::FailingAllocations failing;
        try {
            traceFrom(DBG_LEVEL_TRACE, "a/b/c/d/e/f/g/h/i/j/k.cpp", longName.c_str(), 3, "x",
                      "short of memory");
            traceFrom(DBG_LEVEL_TRACE, "a/b/c/d/e/f/g/h/i/j/k.cpp", longName.c_str(), 4, "x", "still");
        } catch (...) {
            threw = true;
        }
    }
    EXPECT_FALSE(threw);
    ASSERT_TRUE(traceLockIsFree());
    EXPECT_EQ(GetCapturedStderr(), "-{.../d/e/f/g/h/i/j/k.cpp " + hexId(_dbg_get_current_thread_id()) + " " +
                                       longName + " 3} short of memory\n-    {4} still\n");

    // The controls that must allocate fail whole and release the lock: the
    // mask stays as it was.
    {
        halvix::test::FailingAllocations failing;
        EXPECT_THROW(_dbg_set_mask("a+b+c"), std::bad_alloc);
    }
    ASSERT_TRUE(traceLockIsFree());
    EXPECT_EQ(_dbg_mask, Strings{"all"});
    {
        halvix::test::FailingAllocations failing;
        try {
            _dbg_disable();  // may find room in the list, or throw
        } catch (const std::bad_alloc&) {
        }
    }
    ASSERT_TRUE(traceLockIsFree());
    _dbg_enable();
}

namespace {

std::atomic<int> tracedLines{0};

void* traceUntilTheProcessEnds(void*)
{
    for (;;) {
        DBG_LOG("dbg", "tracing while the process exits");
        _dbg_disable();  // the muted list, too, is read and changed
        _dbg_enable();
        tracedLines.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace

TEST_F(Dbg, TracingWhileTheProcessExitsNeverCrashes)
{
    halvix::test::expectChildExitsCleanly(
        [] {
            // Long domain names live on the heap, so a destroyed mask is noticed.
            _dbg_set_mask("first-domain-of-several+second-domain-of-several+third-domain-of-several+dbg");
            _dbg_set_level(DBG_LEVEL_LOG);
            halvix::test::exitWhileThreadsRun(traceUntilTheProcessEnds, tracedLines, 30);
        },
        20);
}
