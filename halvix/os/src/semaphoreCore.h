// halvix/os/src/semaphoreCore.h - a counting semaphore in one 64-bit word,
// parked on futexes (internal; written once for the library and for the
// model checker, see parking.h).
//
// The word holds the count and the number of sleepers:
//
//   bits 0-47   count + COUNT_BIAS: the signed count, offset so that the field
//               never goes below zero and a give never carries into bit 48;
//               the count lies in [-(2^47), 2^47 - 1]
//   bits 48-63  registered sleepers (at most 65535 at once)
//
// A give is one atomic add of 1. When the value before it shows sleepers, the
// giver wakes one of them through the word's address and touches nothing
// else: the unit it added can be taken, and the semaphore destroyed, the
// moment the add is done. A take is one compare-exchange that lowers a
// positive count; failing that, a bounded spin; failing that, the taker
// registers as a sleeper (an add to the high bits) and sleeps on the word's
// low half until the count changes or its deadline passes.
//
// Why sleeping on the low half loses nothing: a sleeper sleeps only while the
// low 32 bits equal what it saw, and every give changes the count by one, which
// always changes its low 32 bits (the count modulo 2^32). Changes confined
// to the high half are sleepers registering and leaving, which nobody waits
// for. A take between the sleeper's look and its sleep can bring the count
// back to the value it saw (a give and a take): then the unit is gone and
// sleeping on is right.
//
// Why no wake-up is lost: registration and the giver's add are
// read-modify-writes of one word, so one of them sees the other. A giver that
// sees the sleeper wakes one; a sleeper that registers after the add sees the
// unit. A woken taker, and one whose deadline passed, always tries to take a
// unit before it gives up, so a wake-up meant for it is never wasted while a
// unit stays behind.
#ifndef HALVIX_OS_SRC_SEMAPHORECORE_H
#define HALVIX_OS_SRC_SEMAPHORECORE_H

#include "halvix/os/src/parking.h"

#include <atomic>
#include <cstdint>

namespace halvix::os::internal {

template <template <typename> class Atom, typename Parking>
class SemaphoreCore
{
public:
    static constexpr int64_t MAX_COUNT = (int64_t(1) << 47) - 1;
    static constexpr int64_t MIN_COUNT = -(int64_t(1) << 47);

    // `initial` is clamped to [MIN_COUNT, MAX_COUNT].
    explicit SemaphoreCore(int64_t initial)
    {
        const int64_t count = initial < MIN_COUNT ? MIN_COUNT : initial > MAX_COUNT ? MAX_COUNT : initial;
        // Relaxed: the creator publishes the semaphore with its handle.
        word.store(static_cast<uint64_t>(count + COUNT_BIAS), std::memory_order_relaxed);
        spinBudgetNs.store(MAX_SPIN_NS, std::memory_order_relaxed);
    }

    // Takes a unit if one is there, without waiting.
    bool tryTake()
    {
        // Relaxed: the compare-exchange below reads the true value anyway.
        uint64_t value = word.load(std::memory_order_relaxed);
        while (countOf(value) > 0) {
            // Acquire: what the giver of the unit did before its give is seen.
            if (word.compare_exchange_weak(value, value - 1, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
                return true;
            }
        }
        return false;
    }

    // Takes a unit, waiting up to `timeoutMs` (-1 no limit, 0 no wait) in
    // total: the deadline is taken once, at the first wait. False when none
    // came in time; `waited` then tells whether it went to sleep at all.
    bool take(long timeoutMs, bool& waited)
    {
        waited = false;
        if (tryTake()) {
            return true;
        }
        if (timeoutMs == 0) {
            return false;
        }
        // Relaxed look while spinning: the take itself acquires.
        if (spinUntil<Atom, Parking>(spinBudgetNs, [this] {
                return countOf(word.load(std::memory_order_relaxed)) > 0 && tryTake();
            })) {
            return true;
        }
        waited = true;
        const typename Parking::Deadline deadline = Parking::deadlineIn(timeoutMs);
        // Relaxed registration: the giver's add and this add are
        // read-modify-writes of the same word, ordered by the word itself.
        uint64_t value = word.fetch_add(ONE_SLEEPER, std::memory_order_relaxed) + ONE_SLEEPER;
        bool mayWait = true;
        for (;;) {
            if (countOf(value) > 0) {
                // Takes the unit and leaves the sleepers in one step. Acquire:
                // as in tryTake.
                if (word.compare_exchange_weak(value, value - 1 - ONE_SLEEPER, std::memory_order_acquire,
                                               std::memory_order_relaxed)) {
                    return true;
                }
                continue;
            }
            if (!mayWait) {
                // Leave unless a unit came meanwhile (the exchange fails, the
                // loop takes it).
                if (word.compare_exchange_weak(value, value - ONE_SLEEPER, std::memory_order_relaxed,
                                               std::memory_order_relaxed)) {
                    return false;
                }
                continue;
            }
            mayWait =
                Parking::wait(word, static_cast<uint32_t>(value), deadline) && !Parking::passed(deadline);
            // Relaxed: only a hint of what to try; the exchanges decide.
            value = word.load(std::memory_order_relaxed);
        }
    }

    // Adds one unit and wakes one sleeper, if any; touches the semaphore no
    // more once its unit can be taken.
    void give()
    {
        // Release: what the giver did before is seen by the taker of the unit.
        const uint64_t before = word.fetch_add(1, std::memory_order_release);
        if (before >= ONE_SLEEPER) {
            Parking::wakeOne(word);
        }
    }

    int64_t count() const { return countOf(word.load(std::memory_order_relaxed)); }

private:
    static constexpr uint64_t ONE_SLEEPER = uint64_t(1) << 48;
    static constexpr int64_t COUNT_BIAS = int64_t(1) << 47;

    static int64_t countOf(uint64_t value)
    {
        return static_cast<int64_t>(value & (ONE_SLEEPER - 1)) - COUNT_BIAS;
    }

    Atom<uint64_t> word;          // count and sleepers (see the top of the file)
    Atom<uint32_t> spinBudgetNs;  // how long a taker spins before it sleeps (parking.h)
};

}  // namespace halvix::os::internal

#endif  // HALVIX_OS_SRC_SEMAPHORECORE_H
