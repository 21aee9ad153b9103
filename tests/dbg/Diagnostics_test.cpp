// Memory dumps and backtrace reports: their layout, filtering and where they are written.
#include <halvix/dbg/dbg.h>

#include "DbgTestSupport.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

static std::string dumpLine(const unsigned char* at, const char* bytes)
{
    char address[32];
    snprintf(address, sizeof address, "%p", static_cast<const void*>(at));
    return std::string("    ") + address + " : " + bytes + "\n";
}

TEST_F(Dbg, DumpWritesEightBytesALineAndIsFilteredLikeATrace)
{
    unsigned char data[20];
    for (unsigned i = 0; i < sizeof data; ++i) {
        data[i] = static_cast<unsigned char>(i * 0x11 + 0x0a);
    }
    const std::string first = dumpLine(data, "0a 1b 2c 3d 4e 5f 70 81 ");
    CaptureStderr();
    _dbg_dump("x", data, 8);
    _dbg_dump("x", data, 9);
    _dbg_dump("x", data, 20);
    _dbg_dump("x", data, 0);
    _dbg_dump("x", data, -1);
    EXPECT_EQ(GetCapturedStderr(), first + first + dumpLine(data + 8, "92 ") + first +
                                       dumpLine(data + 8, "92 a3 b4 c5 d6 e7 f8 09 ") +
                                       dumpLine(data + 16, "1a 2b 3c 4d "));

    const std::string line = dumpLine(data, "0a ");
    _dbg_set_mask("");
    CaptureStderr();
    _dbg_dump("x", data, 1);
    _dbg_dump("all", data, 1);
    _dbg_disable();
    _dbg_dump("all", data, 1);
    _dbg_enable();
    _dbg_dump("all", data, 1);
    EXPECT_EQ(GetCapturedStderr(), line + line);
}

// Checks the layout of one report; returns its text up to the memory map,
// which two reports of the same call share.
static std::string checkReport(const std::string& report)
{
    EXPECT_EQ(report.rfind("\n\nPid=" + std::to_string(getpid()) + "\n", 0), 0u) << report;
    size_t entries = 0;
    const auto counted = report.find("Backtrace-entries: ");
    EXPECT_EQ(sscanf(report.c_str() + counted, "Backtrace-entries: %zu", &entries), 1) << report;
    EXPECT_GT(entries, 0u);
    // One hexadecimal "Address=" line per entry, after the symbolic lines.
    std::istringstream lines(report.substr(report.find("\nAddress=") + 1));
    std::string line;
    size_t addresses = 0;
    while (std::getline(lines, line) && line.rfind("Address=", 0) == 0) {
        EXPECT_EQ(line.find_first_not_of("0123456789ABCDEF", 8), std::string::npos) << line;
        ++addresses;
    }
    EXPECT_EQ(addresses, entries);
    // The memory map and the memory figures are copied, in that order.
    const auto map = report.find("\n\nProcess memory map:\n\n");
    const auto stack = report.find("[stack]", map);
    EXPECT_NE(report.find("MemTotal:", report.find("\nSystem memory info:", stack)), std::string::npos);
    return report.substr(0, map);
}

TEST_F(Dbg, BacktraceWritesItsReportFileOrElseBothStandardStreams)
{
    char directory[] = "/tmp/halvix-dbg-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    CaptureStdout();
    CaptureStderr();
    _dbg_backtrace("%s/report-%d.txt", directory, 7);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(GetCapturedStderr(), "");
    const std::string path = std::string(directory) + "/report-7.txt";
    std::stringstream report;
    report << std::ifstream(path).rdbuf();
    checkReport(report.str());
    unlink(path.c_str());
    rmdir(directory);

    CaptureStdout();
    CaptureStderr();
    _dbg_backtrace("/nonexistent-halvix-dir/report");
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(checkReport(out), checkReport(GetCapturedStderr()));
}

// A report that falls back to the standard streams while standard output is a
// pipe whose reader has left: writing to it raises SIGPIPE, which must not
// stop the process, nor cost the standard-error copy, nor stay behind.
TEST(DbgBacktraceDeathTest, ClosedStandardOutputNeitherStopsTheProcessNorLosesTheReport)
{
    EXPECT_EXIT(
        {
            int ends[2];
            if (pipe(ends) != 0) {
                exit(2);
            }
            close(ends[0]);
            dup2(ends[1], STDOUT_FILENO);
            _dbg_backtrace("/nonexistent-halvix-dir/report");
            sigset_t pending;
            sigset_t blocked;
            sigpending(&pending);
            pthread_sigmask(SIG_SETMASK, nullptr, &blocked);
            fprintf(stderr, "survived: pending %d, blocked %d\n", sigismember(&pending, SIGPIPE),
                    sigismember(&blocked, SIGPIPE));
            exit(0);
        },
        testing::ExitedWithCode(0), "System memory info:.*MemTotal:.*survived: pending 0, blocked 0");
}
