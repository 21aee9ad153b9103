// Switching observation on: counting, the timeline's hooks and thread names.
#include "halvix/observe/src/Switch.h"

#include "halvix/observe/Observe.h"
#include "halvix/observe/src/Timeline.h"
#include "halvix/os/osTask.h"
#include "halvix/src/ObserverHooks.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <atomic>
#include <cmath>
#include <mutex>

namespace halvix::observe {

namespace {

using queue::internal::ObserverHooks;

// Constant-initialised and never destroyed, as the lower modules require of
// an installed table; the clock of each pair is chosen once, at the first
// switch.
constexpr ObserverHooks COUNTING[2] = {{nullptr, nullptr, nullptr, false}, {nullptr, nullptr, nullptr, true}};
constexpr ObserverHooks RECORDING[2] = {
    {&timeline::queueWaited, &timeline::macroRan, &timeline::timerDelivered, false},
    {&timeline::queueWaited, &timeline::macroRan, &timeline::timerDelivered, true}};

// Counting's start: when (monotonic nanoseconds; 0 before), and the same
// instant in observed ticks. Written once under the switch's mutex before
// countingSince is released; acquired with it.
std::atomic<int64_t> countingSince{0};
int64_t originTicks = 0;
// Whether observed ticks are the CPU's counter; fixed with countingSince.
bool cpuCounter = false;

std::mutex& switchMutex()
{
    static std::mutex* mutex = new std::mutex;  // never destroyed: any thread may switch at exit
    return *mutex;
}

void install(const ObserverHooks* table)
{
    // Relaxed: the tables are constant objects, readable without ordering.
    queue::internal::observerHooks.store(table, std::memory_order_relaxed);
}

// Whether the CPU has a counter that ticks at one rate whatever the power
// state, readable in user space: aarch64's virtual counter always; x86-64's
// time-stamp counter when the CPU says it is invariant. Elsewhere, and on an
// x86-64 without that promise, observed ticks are monotonic nanoseconds.
bool cpuCounterRunsSteadily()
{
#if defined(__aarch64__)
    return true;
#elif defined(__x86_64__)
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(0x80000007, &eax, &ebx, &ecx, &edx) != 0 && (edx & (1u << 8)) != 0;
#else
    return false;
#endif
}

// One instant on both clocks: the ticks read between two reads of the
// monotonic clock, and the middle of those. A pair whose reads lie further
// apart than a microsecond or two (the thread was preempted between them)
// is read again, as it would skew the rate measured from it.
void readBothClocks(int64_t& ticks, int64_t& ns)
{
    const ObserverHooks& table = COUNTING[cpuCounter ? 1 : 0];
    for (int tries = 0;; ++tries) {
        const int64_t before = queue::internal::monotonicNowNs();
        ticks = queue::internal::observedTicks(table);
        const int64_t after = queue::internal::monotonicNowNs();
        ns = before + (after - before) / 2;
        if (after - before <= 2000 || tries == 100) {
            return;
        }
    }
}

}  // namespace

void startCounting()
{
    if (countingSince.load(std::memory_order_acquire) != 0) {  // the origin below with it
        return;
    }
    std::lock_guard<std::mutex> lock(switchMutex());
    if (countingSince.load(std::memory_order_relaxed) == 0) {
        cpuCounter = cpuCounterRunsSteadily();
        int64_t ns = 0;
        readBothClocks(originTicks, ns);
        countingSince.store(ns, std::memory_order_release);
        install(&COUNTING[cpuCounter ? 1 : 0]);
    }
}

void showThreadNames(bool on)
{
    os::osTaskShowNames(on);
}

namespace detail {

int64_t countingSinceNs()
{
    return countingSince.load(std::memory_order_relaxed);
}

void switchTimelineHooks(bool on)
{
    startCounting();
    std::lock_guard<std::mutex> lock(switchMutex());
    install(on ? &RECORDING[cpuCounter ? 1 : 0] : &COUNTING[cpuCounter ? 1 : 0]);
}

int64_t nowTicks()
{
    startCounting();
    return queue::internal::observedTicks(COUNTING[cpuCounter ? 1 : 0]);
}

TickScale::TickScale() : nsPerTick(1.0)
{
    startCounting();
    if (!cpuCounter) {
        return;  // ticks are nanoseconds
    }
    // The rate over ten milliseconds at least, so that the uncertainty of
    // the two pairs (a microsecond at most) stays within a part in ten
    // thousand. Only a snapshot or timeline that follows the start of
    // counting that closely waits here.
    const int64_t sinceNs = countingSince.load(std::memory_order_relaxed);
    int64_t ticks = 0;
    int64_t ns = 0;
    do {
        readBothClocks(ticks, ns);
    } while (ns - sinceNs < 10000000);
    if (ticks > originTicks) {
        nsPerTick = static_cast<double>(ns - sinceNs) / static_cast<double>(ticks - originTicks);
    }
}

int64_t TickScale::toNs(int64_t ticks) const
{
    return std::llround(static_cast<double>(ticks) * nsPerTick);
}

}  // namespace detail

}  // namespace halvix::observe
