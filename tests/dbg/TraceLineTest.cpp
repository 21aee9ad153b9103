#include <halvix/dbg/dbg.h>

#include "DbgTestSupport.h"

#include <set>
#include <sstream>
#include <thread>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST_F(DbgTest, LinePrefixLeavesOutWhatDidNotChange)
{
    const std::string self = hexId(_dbg_get_current_thread_id());
    const char* file = "src/a.cpp";
    const std::string sameText = file;  // equal text, other pointer
    CaptureStderr();
    traceFrom(DBG_LEVEL_TRACE, file, "fn", 7, "x", "first");
    traceFrom(DBG_LEVEL_TRACE, file, "fn", 8, "x", "again");
    traceFrom(DBG_LEVEL_LOG, file, "other", 9, "x", "new function");
    traceFrom(DBG_LEVEL_LOG, sameText.c_str(), "other", 10, "x", "new file pointer");
    traceFrom(static_cast<_dbgLevel_t>(3), file, "other", -1, "x", "odd level");
    _dbg_lock();
    _dbg_type = DBG_LEVEL_LOG;
    _dbg_trace("x", "pthread error %d\n", 5);
    EXPECT_EQ(GetCapturedStderr(), "-{src/a.cpp " + self +
                                       " fn 7} first\n"
                                       "-    {8} again\n"
                                       "   {other 9} new function\n"
                                       "   {src/a.cpp 10} new file pointer\n"
                                       "   {src/a.cpp 18446744073709551615} odd level\n"
                                       "     {18446744073709551615} pthread error 5\n\n");
}

TEST_F(DbgTest, LongPathsShowTheirLastTwentyCharacters)
{
    CaptureStderr();
    traceFrom(DBG_LEVEL_LOG, "abcdefghij/klmno.cpp", "f", 1, "x", "twenty");
    traceFrom(DBG_LEVEL_LOG, "/abcdefghij/klmno.cpp", "f", 2, "x", "twenty-one");
    const std::string out = GetCapturedStderr();
    EXPECT_EQ(out.rfind(" {abcdefghij/klmno.cpp 0x", 0), 0u) << out;
    EXPECT_NE(out.find("\n   {...abcdefghij/klmno.cpp 2} twenty-one\n"), std::string::npos) << out;
}

TEST_F(DbgTest, TwoThreadsAlternatingShowTheirIds)
{
    const char* file = "f.cpp";
    auto other = [&] { traceFrom(DBG_LEVEL_LOG, file, "fn", 2, "x", "b"); };
    CaptureStderr();
    traceFrom(DBG_LEVEL_LOG, file, "fn", 1, "x", "a");
    unsigned long otherId = 0;
    std::thread([&] {
        otherId = _dbg_get_current_thread_id();
        other();
    }).join();
    traceFrom(DBG_LEVEL_LOG, file, "fn", 3, "x", "c");
    const std::string self = hexId(_dbg_get_current_thread_id());
    EXPECT_EQ(GetCapturedStderr(), " {f.cpp " + self +
                                       " fn 1} a\n"
                                       "   {" +
                                       hexId(otherId) +
                                       " 2} b\n"
                                       "   {" +
                                       self + " 3} c\n");
}

TEST_F(DbgTest, MaskAndMutingFilterCalls)
{
    CaptureStderr();
    _dbg_set_mask("dbg");
    traceFrom(DBG_LEVEL_LOG, "f", "g", 1, "dbg", "dbg passes");
    traceFrom(DBG_LEVEL_LOG, "f", "g", 2, "net", "net is filtered");
    traceFrom(DBG_LEVEL_LOG, "f", "g", 3, "all", "all passes");
    traceFrom(DBG_LEVEL_WARN, "f", "g", 4, "net", "filtered warning does not stop");
    _dbg_set_mask("");
    traceFrom(DBG_LEVEL_LOG, "f", "g", 5, "dbg", "empty mask filters");
    traceFrom(DBG_LEVEL_LOG, "f", "g", 6, "all", "all still passes");
    _dbg_set_mask("x all");
    traceFrom(DBG_LEVEL_LOG, "f", "g", 7, "anything", "mask all passes");

    _dbg_disable();
    _dbg_disable();
    EXPECT_EQ(_dbg_disabled_thread.size(), 1u);
    traceFrom(DBG_LEVEL_LOG, "f", "g", 8, "all", "while muted");
    traceFrom(DBG_LEVEL_WARN, "f", "g", 9, "all", "muted warning does not stop");
    _dbg_enable();
    traceFrom(DBG_LEVEL_LOG, "f", "g", 10, "all", "unmuted");
    const std::string out = GetCapturedStderr();
    for (const char* shown : {"dbg passes", "all passes", "all still passes", "mask all passes", "unmuted"}) {
        EXPECT_NE(out.find(shown), std::string::npos) << shown;
    }
    for (const char* hidden : {"filtered", "while muted", "stop"}) {
        EXPECT_EQ(out.find(hidden), std::string::npos) << hidden;
    }
}

TEST_F(DbgTest, LevelTestSkipsArguments)
{
    int evaluated = 0;
    CaptureStderr();
    _dbg_set_level(DBG_LEVEL_WARN);
    DBG_TRACE("all", "%d", ++evaluated);
    DBG_LOG("all", "%d", ++evaluated);
    _dbg_set_level(DBG_LEVEL_TRACE);
    DBG_LOG("all", "%d", ++evaluated);
    DBG_TRACE("all", "traced %d", ++evaluated);
    const std::string out = GetCapturedStderr();
    EXPECT_EQ(evaluated, 1);
    EXPECT_NE(out.find("} traced 1\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("\n-"), std::string::npos) << "one line only: " << out;
}

// Lines of threads tracing at once never interleave and keep each thread's order.
TEST_F(DbgTest, ConcurrentLinesStayWhole)
{
#if defined(__SANITIZE_THREAD__)
    constexpr int kLines = 50;
#else
    constexpr int kLines = 500;
#endif
    constexpr int kThreads = 4;
    CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
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
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        int t = -1;
        int i = -1;
        const size_t at = line.find("} <");
        ASSERT_NE(at, std::string::npos) << line;
        ASSERT_EQ(sscanf(line.c_str() + at, "} <%d:%d>", &t, &i), 2) << line;
        ASSERT_EQ(line.back(), '>') << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(i, next[t]++) << line;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}
