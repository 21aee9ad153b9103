#include <halvix/dbg/dbg.h>

#include "DbgTestSupport.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

static std::string dumpLine(const unsigned char* at, const char* bytes)
{
    char address[32];
    snprintf(address, sizeof address, "%p", static_cast<const void*>(at));
    return std::string("    ") + address + " : " + bytes + "\n";
}

TEST_F(DbgTest, DumpWritesEightBytesALine)
{
    unsigned char data[20];
    for (unsigned i = 0; i < sizeof data; ++i) {
        data[i] = static_cast<unsigned char>(i * 0x11 + 0x0a);
    }
    const std::string first = dumpLine(data, "0a 1b 2c 3d 4e 5f 70 81 ");
    CaptureStderr();
    _dbg_dump("x", data, 8);
    EXPECT_EQ(GetCapturedStderr(), first);
    CaptureStderr();
    _dbg_dump("x", data, 9);
    EXPECT_EQ(GetCapturedStderr(), first + dumpLine(data + 8, "92 "));
    CaptureStderr();
    _dbg_dump("x", data, 20);
    EXPECT_EQ(GetCapturedStderr(),
              first + dumpLine(data + 8, "92 a3 b4 c5 d6 e7 f8 09 ") + dumpLine(data + 16, "1a 2b 3c 4d "));
    CaptureStderr();
    _dbg_dump("x", data, 0);
    _dbg_dump("x", data, -1);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(DbgTest, DumpIsFilteredLikeATrace)
{
    const unsigned char byte = 0xff;
    const std::string line = dumpLine(&byte, "ff ");
    _dbg_set_mask("");
    CaptureStderr();
    _dbg_dump("x", &byte, 1);
    _dbg_dump("all", &byte, 1);
    _dbg_disable();
    _dbg_dump("all", &byte, 1);
    _dbg_enable();
    _dbg_dump("all", &byte, 1);
    EXPECT_EQ(GetCapturedStderr(), line + line);
}

// Checks the layout of one report; returns its text up to the memory map,
// which two reports of the same call share.
static std::string checkReport(const std::string& report)
{
    std::istringstream lines(report);
    std::string line;
    std::vector<std::string> headings;
    size_t entries = 0;
    size_t addresses = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("Pid=", 0) == 0) {
            EXPECT_EQ(line, "Pid=" + std::to_string(getpid()));
            headings.push_back("Pid");
        } else if (sscanf(line.c_str(), "Backtrace-entries: %zu", &entries) == 1) {
            headings.push_back("Backtrace-entries");
        } else if (line.rfind("Address=", 0) == 0) {
            EXPECT_EQ(line.find_first_not_of("0123456789ABCDEF", 8), std::string::npos) << line;
            ++addresses;
        } else if (line == "Process memory map:" || line == "System memory info:") {
            headings.push_back(line);
        }
    }
    EXPECT_EQ(headings, (std::vector<std::string>{"Pid", "Backtrace-entries",
                                                  "Process memory map:", "System memory info:"}));
    EXPECT_GT(entries, 0u);
    EXPECT_EQ(entries, addresses);
    EXPECT_EQ(report.rfind("\n\nPid=", 0), 0u);
    EXPECT_NE(report.find("\n\nProcess memory map:\n\n"), std::string::npos);
    EXPECT_NE(report.find("[stack]"), std::string::npos) << "the memory map is copied";
    EXPECT_NE(report.find("MemTotal:"), std::string::npos) << "the memory figures are copied";
    return report.substr(0, report.find("Process memory map:"));
}

TEST_F(DbgTest, BacktraceWritesItsReportFile)
{
    char directory[] = "/tmp/halvix-dbg-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    CaptureStdout();
    CaptureStderr();
    _dbg_backtrace("%s/report-%d.txt", directory, 7);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(GetCapturedStderr(), "");
    const std::string path = std::string(directory) + "/report-7.txt";
    std::ifstream file(path);
    std::stringstream report;
    report << file.rdbuf();
    checkReport(report.str());
    unlink(path.c_str());
    rmdir(directory);
}

TEST_F(DbgTest, BacktraceFallsBackToBothStandardStreams)
{
    CaptureStdout();
    CaptureStderr();
    _dbg_backtrace("/nonexistent-halvix-dir/report");
    const std::string out = GetCapturedStdout();
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(checkReport(out), checkReport(err));
}
