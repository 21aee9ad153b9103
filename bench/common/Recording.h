// A timeline recorded for the scope of a benchmark (halvix/observe), into a
// scratch file removed afterwards. Observation stays switched on for the rest
// of the process once this ran, so benchmarks that use it are registered
// after the ones they are compared with.
#ifndef HALVIX_BENCH_COMMON_RECORDING_H
#define HALVIX_BENCH_COMMON_RECORDING_H

#include <halvix/observe/Observe.h>

#include <unistd.h>

#include <cstdio>
#include <string>

namespace bench {

class Recording
{
public:
    // Enough events that a run fills its lanes and keeps overwriting the
    // oldest, as a long recording would.
    explicit Recording(std::size_t maxEvents = 1 << 18)
        : path("/tmp/halvix-bench-timeline-" + std::to_string(getpid()) + ".json")
    {
        halvix::observe::startTimeline(path, maxEvents);
    }
    ~Recording()
    {
        halvix::observe::stopTimeline();
        std::remove(path.c_str());
    }
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

private:
    std::string path;
};

}  // namespace bench

#endif  // HALVIX_BENCH_COMMON_RECORDING_H
