// halvix_compare: the same workloads on halvix and on every peer library the
// build found, in one process and one run; prints one Markdown table.
//
// Usage: halvix_compare [--chart-data PATH] [--only WORKLOAD] [--impl NAME]
//   --chart-data PATH  also writes each implementation's score relative to
//                      the best peer per metric, for run.sh's gnuplot chart.
//   --only WORKLOAD    runs one workload: idle, spsc, spsc1 (all threads on
//                      CPU 0), pingpong, pinned, pingpong1 (both on CPU 0),
//                      mpmc, dispatch or timer (for profiling one of them).
//   --impl NAME        runs one implementation's runners (e.g. halvix).
// Progress goes to stderr, the table to stdout.
#include "compare.h"
#include "peers.h"
#include "report.h"

#include <cstring>
#include <iostream>

namespace {

using namespace compare;

constexpr int REPETITIONS = 3;

// Peers compiled in; the others are noted under the table.
void registerAll(Registry& registry)
{
    registerHalvix(registry);
    registerStdRing(registry);
#ifdef HALVIX_COMPARE_HAVE_ASIO
    registerAsio(registry);
#else
    registry.note("Boost.Asio: not found at build time, skipped.");
#endif
#ifdef HALVIX_COMPARE_HAVE_POCO
    registerPoco(registry);
#else
    registry.note("POCO: not found at build time, skipped.");
#endif
#ifdef HALVIX_COMPARE_HAVE_MOODYCAMEL
    registerMoodycamel(registry);
#else
    registry.note("moodycamel: not found at build time, skipped.");
#endif
#ifdef HALVIX_COMPARE_HAVE_TBB
    registerTbb(registry);
#else
    registry.note("TBB: not found at build time, skipped.");
#endif
#ifdef HALVIX_COMPARE_HAVE_ACE
    registerAce(registry);
#else
    registry.note("ACE: not found at build time, skipped.");
#endif
}

// Runs every runner of `workload` REPETITIONS times, one repetition of all
// implementations after the other, so that a burst of load on the shared
// machine hits all of them rather than one.
struct Selection
{
    std::string only, implementation;
};

void runWorkload(const Registry& registry, Workload workload, const char* title, const Selection& selection,
                 Results& results)
{
    if (!selection.only.empty() && selection.only != title) {
        return;
    }
    for (int repetition = 1; repetition <= REPETITIONS; ++repetition) {
        for (const auto& runner : registry.runners) {
            if (runner.workload != workload ||
                (!selection.implementation.empty() && selection.implementation != runner.implementation)) {
                continue;
            }
            std::cerr << title << " [" << repetition << "/" << REPETITIONS << "] " << runner.implementation
                      << "..." << std::endl;
            results.add(runner.implementation, runner.run());
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::string chartData;
    Selection selection;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--chart-data") == 0 && i + 1 < argc) {
            chartData = argv[++i];
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            selection.only = argv[++i];
        } else if (std::strcmp(argv[i], "--impl") == 0 && i + 1 < argc) {
            selection.implementation = argv[++i];
        } else {
            std::cerr << "usage: " << argv[0] << " [--chart-data PATH] [--only WORKLOAD] [--impl NAME]\n";
            return 2;
        }
    }
    Registry registry;
    registerAll(registry);
    if (cpuCount() < 2) {
        registry.note("pinned ping-pong skipped: fewer than 2 CPUs.");
    }
    registry.note("idle-timer rows are measured in a forked child per repetition (fresh heap), before any "
                  "other workload starts a thread; kernel memory of threads is not in the resident size.");

    Results results;
    // First: the children are forked while this process has a single thread.
    runWorkload(registry, Workload::IdleTimerCost, "idle", selection, results);
    runWorkload(registry, Workload::Spsc, "spsc", selection, results);
    runWorkload(registry, Workload::SpscOneCpu, "spsc1", selection, results);
    runWorkload(registry, Workload::PingPong, "pingpong", selection, results);
    runWorkload(registry, Workload::PingPongPinned, "pinned", selection, results);
    runWorkload(registry, Workload::PingPongOneCpu, "pingpong1", selection, results);
    runWorkload(registry, Workload::Mpmc, "mpmc", selection, results);
    runWorkload(registry, Workload::Dispatch, "dispatch", selection, results);
    runWorkload(registry, Workload::TimerLateness, "timer", selection, results);

    printMarkdown(std::cout, results, registry.notes);
    if (!chartData.empty()) {
        writeChartData(chartData, results);
    }
    return 0;
}
