// halvix/src/ObserverHooks.h - where halvix/observe plugs into the queues,
// Tasks and timers below it (internal: not for applications).
//
// Observation is opt-in: until halvix/observe switches it on, a queue write
// or read, a macro run by a Task and a timer expiry each pay one relaxed load
// of the table pointer below and nothing else. Once a table is installed,
// queue reads keep the high-water mark in the OS queue (which counts the
// writes itself, halvix/src/QueueCounters.h), and Tasks and timers keep
// their counters (macros run and failed, the macro running now, expiries
// and lateness) in relaxed atomics of their own; all hand timeline events
// to the table's functions when those are set.
//
// The table pointer is defined by the queue module, the lowest one that
// needs it (queue/src/ObserverHooks.cpp); queues, Tasks, timers and observe
// share this header from the internal folder, so nothing below observe ever
// includes observe and applications never see the hooks.
#ifndef HALVIX_SRC_OBSERVERHOOKS_H
#define HALVIX_SRC_OBSERVERHOOKS_H

#include <halvix/Export.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace halvix::queue::internal {

struct ObserverHooks
{
    // Each function may be null: counting without a timeline. Instants and
    // spans are in observed ticks (observedTicks) unless named Ns.
    // A write into `queueName` found it full and waited from `begin` to
    // `end`, at least NOTABLE_WAIT_NS.
    void (*queueWaited)(const char* queueName, int64_t begin, int64_t end);
    // The calling thread, the Task `laneName`, ran `macroName`; status its result.
    void (*macroRan)(const std::string& laneName, const char* macroName, int64_t begin, int64_t end,
                     int status);
    // A delivery of timer `timerId` reached handleTimeout now, `lateNs` after
    // its expiry was due.
    void (*timerDelivered)(unsigned int timerId, int64_t lateNs);
    // Observed ticks come from the CPU's constant-rate counter; else they
    // are nanoseconds of the monotonic clock. Fixed for the process by the
    // first table installed.
    bool cpuCounter;
};

// The shortest wait for room that counts as a queue that filled up: a
// writer first spins for a slot that a busy reader frees within a few
// microseconds, and such a spin is not worth an event.
constexpr int64_t NOTABLE_WAIT_NS = 20000;

// Null while observation is off. Installed tables are constant objects that
// live as long as the process, constant-initialised at load time: a relaxed
// load of the pointer therefore suffices to read the table.
HALVIX_INTERNAL extern std::atomic<const ObserverHooks*> observerHooks;

inline const ObserverHooks* currentObserverHooks()
{
    return observerHooks.load(std::memory_order_relaxed);  // see observerHooks
}

// The monotonic clock in nanoseconds: due times, lateness, uptime.
inline int64_t monotonicNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The clock of observed instants, read at least once for every macro a Task
// runs while observation is on: the CPU's counter where `hooks` says so (the
// time-stamp counter of x86-64, which the table chooses only when it runs at
// a constant rate, or the virtual counter of aarch64), a few nanoseconds to
// read, where the monotonic clock costs 20 to 50 through the vDSO. Only
// spans and order of ticks mean anything; observe turns them into time.
inline int64_t observedTicks(const ObserverHooks& hooks)
{
#if defined(__x86_64__)
    if (hooks.cpuCounter) {
        return static_cast<int64_t>(__rdtsc());
    }
#elif defined(__aarch64__)
    if (hooks.cpuCounter) {
        uint64_t ticks;
        asm volatile("mrs %0, cntvct_el0" : "=r"(ticks));
        return static_cast<int64_t>(ticks);
    }
#endif
    return monotonicNowNs();
}

// Raises `mark` to `value` if it is lower. Relaxed: a statistic read on its own.
inline void raiseMark(std::atomic<uint64_t>& mark, uint64_t value)
{
    uint64_t seen = mark.load(std::memory_order_relaxed);
    while (seen < value && !mark.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

}  // namespace halvix::queue::internal

#endif  // HALVIX_SRC_OBSERVERHOOKS_H
