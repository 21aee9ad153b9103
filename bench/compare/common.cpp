// Statistics, CPU pinning, /proc readings and the child process of the
// memory measurement.
#include "compare.h"
#include "workloads.h"

#include "common/ProcStatus.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace compare {

using bench::statusField;

const char* const HALVIX = "halvix";

const std::vector<MetricInfo>& metrics()
{
    static const std::vector<MetricInfo> table = {
        {Metric::SpscThroughput, "SPSC handoff, 1M pointers, 1024 slots", "M msg/s", true, 2},
        {Metric::SpscCpu, "SPSC handoff, CPU per message (user+sys)", "ns", false, 0},
        {Metric::SpscOneCpu, "SPSC handoff, all threads on CPU 0", "M msg/s", true, 2},
        {Metric::PingPongMedian, "ping-pong round trip, median", "us", false, 1},
        {Metric::PingPongP99, "ping-pong round trip, p99", "us", false, 1},
        {Metric::PingPongCpu, "ping-pong, CPU per round trip (user+sys)", "us", false, 2},
        {Metric::PingPongPinnedMedian, "ping-pong pinned to 2 CPUs, median", "us", false, 1},
        {Metric::PingPongPinnedP99, "ping-pong pinned to 2 CPUs, p99", "us", false, 1},
        {Metric::PingPongOneCpuMedian, "ping-pong, both threads on CPU 0, median", "us", false, 1},
        {Metric::PingPongOneCpuP99, "ping-pong, both threads on CPU 0, p99", "us", false, 1},
        {Metric::MpmcThroughput, "MPMC 4 producers x 4 consumers", "M msg/s", true, 2},
        {Metric::DispatchMedian, "dispatch to a thread and back, median", "us", false, 1},
        {Metric::DispatchP99, "dispatch to a thread and back, p99", "us", false, 1},
        {Metric::TimerLateMedian, "10 ms timer lateness, median", "us", false, 0},
        {Metric::TimerLateP99, "10 ms timer lateness, p99", "us", false, 0},
        {Metric::TimerEarly, "10 ms timer early fires", "count", false, 0},
        {Metric::IdleTimerRss, "idle timer, resident memory (1000 timers)", "KiB/timer", false, 2},
        {Metric::IdleTimerThreads, "idle timer, threads (1000 timers)", "threads/timer", false, 3},
    };
    return table;
}

const std::vector<std::string>& implementations()
{
    static const std::vector<std::string> names = {HALVIX,       "std ring", "Boost.Asio", "POCO",
                                                   "moodycamel", "TBB",      "ACE"};
    return names;
}

double quantile(std::vector<double>& samples, double fraction)
{
    if (samples.empty()) {
        return 0;
    }
    const auto nth = samples.begin() + static_cast<std::ptrdiff_t>(fraction * (samples.size() - 1) + 0.5);
    std::nth_element(samples.begin(), nth, samples.end());
    return *nth;
}

double median(std::vector<double> samples)
{
    return quantile(samples, 0.5);
}

double millionsPerSecond(uint64_t items, Clock::duration elapsed)
{
    return static_cast<double>(items) / Micros(elapsed).count();
}

Measurement latencies(std::vector<double> samplesUs, Metric medianMetric, Metric p99Metric)
{
    Measurement result;
    result.values[medianMetric] = quantile(samplesUs, 0.5);
    result.values[p99Metric] = quantile(samplesUs, 0.99);
    return result;
}

Measurement lateness(std::vector<double> samplesUs)
{
    const auto early = std::count_if(samplesUs.begin(), samplesUs.end(), [](double us) { return us < 0; });
    Measurement result = latencies(std::move(samplesUs), Metric::TimerLateMedian, Metric::TimerLateP99);
    result.values[Metric::TimerEarly] = static_cast<double>(early);
    if (early > 0) {
        result.flag = "EARLY";
    }
    return result;
}

std::vector<double> sampleRoundTrips(const std::function<void()>& roundTrip)
{
    for (int i = 0; i < ROUND_TRIPS / 10; ++i) {
        roundTrip();
    }
    std::vector<double> samples;
    samples.reserve(ROUND_TRIPS);
    for (int i = 0; i < ROUND_TRIPS; ++i) {
        const auto start = Clock::now();
        roundTrip();
        samples.push_back(Micros(Clock::now() - start).count());
    }
    return samples;
}

std::vector<double> sampleLateness(const std::function<void(std::function<void()>)>& arm)
{
    std::vector<double> samples;
    for (int i = 0; i < TIMER_SAMPLES; ++i) {
        std::promise<Clock::time_point> fired;
        const auto start = Clock::now();
        arm([&fired] { fired.set_value(Clock::now()); });
        const auto at = fired.get_future().get();
        samples.push_back(Micros(at - start - TIMER_DELAY).count());
    }
    return samples;
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool pinToCpu(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof(set), &set) == 0;
}

void unpin()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < cpuCount(); ++cpu) {
        CPU_SET(cpu, &set);
    }
    pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

int cpuCount()
{
    return static_cast<int>(std::thread::hardware_concurrency());
}

Measurement inChild(const std::function<Measurement()>& measure)
{
    int channel[2];
    if (pipe(channel) != 0) {
        return {{}, "pipe failed"};
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        const Measurement result = measure();
        for (const auto& [metric, value] : result.values) {
            const double record[2] = {static_cast<double>(metric), value};
            if (write(channel[1], record, sizeof(record)) != sizeof(record)) {
                _exit(1);
            }
        }
        _exit(0);  // no destructors: the timers and their threads are simply dropped
    }
    close(channel[1]);
    Measurement result;
    double record[2];
    while (read(channel[0], record, sizeof(record)) == sizeof(record)) {
        result.values[static_cast<Metric>(static_cast<int>(record[0]))] = record[1];
    }
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || result.values.empty()) {
        result.flag = "child failed";
    }
    return result;
}

Measurement idleTimerCost(const std::function<std::function<void()>()>& prepare)
{
    return inChild([&prepare] {
        const auto create = prepare();
        const long rssBefore = statusField("VmRSS"), threadsBefore = statusField("Threads");
        create();
        // Let timer threads reach their idle wait before looking.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Measurement result;
        result.values[Metric::IdleTimerRss] = double(statusField("VmRSS") - rssBefore) / IDLE_TIMERS;
        result.values[Metric::IdleTimerThreads] =
            double(statusField("Threads") - threadsBefore) / IDLE_TIMERS;
        return result;
    });
}

}  // namespace compare
