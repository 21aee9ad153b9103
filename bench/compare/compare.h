// bench/compare/compare.h - what every part of the comparison harness shares.
//
// The harness runs the same workloads on halvix and on every peer library it
// was built with, in one process and one run, and prints one Markdown table.
// Each implementation registers its workload runners in a Registry (one
// registerX function per peer, see peers.h); main.cpp runs them repetition by
// repetition, interleaving the implementations so that all of them see the
// same machine load, and report.cpp turns the medians into the table.
#ifndef HALVIX_BENCH_COMPARE_COMPARE_H
#define HALVIX_BENCH_COMPARE_COMPARE_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace compare {

using Clock = std::chrono::steady_clock;
using Micros = std::chrono::duration<double, std::micro>;

// Workload sizes, the same for every implementation.
constexpr int SLOTS = 1024;                            // capacity of every bounded queue
constexpr uint64_t SPSC_ITEMS = 1000000;               // pointers handed over per SPSC run
constexpr int MPMC_THREADS = 4;                        // producers, and as many consumers
constexpr uint64_t MPMC_ITEMS = 1000000;               // pointers per MPMC run, all producers together
constexpr auto MPMC_LIMIT = std::chrono::seconds(60);  // longer means lost messages
constexpr int ROUND_TRIPS = 20000;                     // ping-pong and dispatch round trips per run
constexpr auto TIMER_DELAY = std::chrono::milliseconds(10);
constexpr int TIMER_SAMPLES = 200;  // timer expiries per run
constexpr int IDLE_TIMERS = 1000;   // idle timers whose cost is measured

// The metrics of the table, in table order.
enum class Metric
{
    SpscThroughput,
    SpscCpu,
    SpscOneCpu,
    PingPongMedian,
    PingPongP99,
    PingPongCpu,
    PingPongPinnedMedian,
    PingPongPinnedP99,
    PingPongOneCpuMedian,
    PingPongOneCpuP99,
    MpmcThroughput,
    DispatchMedian,
    DispatchP99,
    TimerLateMedian,
    TimerLateP99,
    TimerEarly,
    IdleTimerRss,
    IdleTimerThreads,
};

struct MetricInfo
{
    Metric metric;
    const char* label;
    const char* unit;
    bool higherIsBetter;
    int decimals;
};

// Every metric with its label, in table order.
const std::vector<MetricInfo>& metrics();

// What one run of one workload on one implementation measured; a flag (such
// as lost messages or an early timer) is shown beside the value.
struct Measurement
{
    std::map<Metric, double> values;
    std::string flag;
};

// The workload groups; one runner of one implementation serves one group.
enum class Workload
{
    Spsc,
    SpscOneCpu,
    PingPong,
    PingPongPinned,
    PingPongOneCpu,
    Mpmc,
    Dispatch,
    TimerLateness,
    IdleTimerCost,
};

struct Runner
{
    Workload workload;
    std::string implementation;
    std::function<Measurement()> run;
};

class Registry
{
public:
    void add(Workload workload, const std::string& implementation, std::function<Measurement()> run)
    {
        runners.push_back({workload, implementation, std::move(run)});
    }
    // Notes printed under the table: peers skipped, caveats of a peer.
    void note(const std::string& text) { notes.push_back(text); }

    std::vector<Runner> runners;
    std::vector<std::string> notes;
};

// The implementations' column names, in column order.
const std::vector<std::string>& implementations();
extern const char* const HALVIX;  // "halvix"

// Order statistics of a sample (sorted in place); fraction 0.5 is the median.
double quantile(std::vector<double>& samples, double fraction);
double median(std::vector<double> samples);

// Millions of items per second for `items` moved in `elapsed`.
double millionsPerSecond(uint64_t items, Clock::duration elapsed);

// Round-trip or lateness samples summarised into median and p99 metrics.
Measurement latencies(std::vector<double> samplesUs, Metric medianMetric, Metric p99Metric);

// Timer lateness samples (us, negative = early) as median, p99 and the count
// of early expiries, flagged when there is any.
Measurement lateness(std::vector<double> samplesUs);

// User plus system CPU time of the whole process so far (getrusage), in
// seconds: what a run cost, whichever of its threads spent it.
double processCpuSeconds();

// Pins the calling thread to one CPU; false when the machine refuses.
bool pinToCpu(int cpu);
// Lets the calling thread run on every CPU again.
void unpin();
int cpuCount();

// Runs `measure` in a forked child, so that the memory it takes is counted
// on a fresh heap and never freed into the parent's; only doubles come back.
// Call it while the process has no other thread.
Measurement inChild(const std::function<Measurement()>& measure);

// The cost of an idle timer, measured in a child process: `prepare` sets up
// the timer facility (threads, queues, event loop) and returns the function
// that creates IDLE_TIMERS timers armed for an hour; the resident KiB and the
// threads that creation adds, per timer. The child exits without cleaning up.
Measurement idleTimerCost(const std::function<std::function<void()>()>& prepare);

}  // namespace compare

#endif  // HALVIX_BENCH_COMPARE_COMPARE_H
