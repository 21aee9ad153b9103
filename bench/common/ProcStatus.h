// bench/common/ProcStatus.h - readings of /proc/self/status.
//
// statusField("VmRSS") and statusField("VmSize") are in KiB,
// statusField("Threads") is a count; -1 when the field is missing (or /proc
// is not mounted), which shows as a nonsensical difference rather than a crash.
#ifndef HALVIX_BENCH_COMMON_PROCSTATUS_H
#define HALVIX_BENCH_COMMON_PROCSTATUS_H

#include <cstdlib>
#include <fstream>
#include <string>

namespace bench {

inline long statusField(const std::string& name)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(name + ":", 0) == 0) {
            return std::strtol(line.c_str() + name.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

}  // namespace bench

#endif  // HALVIX_BENCH_COMMON_PROCSTATUS_H
