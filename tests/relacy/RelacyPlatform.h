// The OS layer's ring and semaphore cores run here on Relacy's model of the
// C++ memory model: its atomics behind the std::atomic interface the cores
// use, and a futex emulated outside the objects.
#ifndef HALVIX_TESTS_RELACY_RELACYPLATFORM_H
#define HALVIX_TESTS_RELACY_RELACYPLATFORM_H

#include "halvix/os/src/ringCore.h"
#include "halvix/os/src/semaphoreCore.h"

#include <atomic>
#include <cstdint>

// After the library's headers: relacy.hpp redefines `new` and `delete` so
// that it can check every access against the objects' lifetimes.
#include <relacy/relacy.hpp>
// relacy.hpp also turns std::memory_order_* into its own orders; this file
// converts them itself (rlOrder), so the names keep their std meaning.
#undef memory_order_relaxed
#undef memory_order_consume
#undef memory_order_acquire
#undef memory_order_release
#undef memory_order_acq_rel
#undef memory_order_seq_cst

namespace halvix::relacy {

inline rl::memory_order rlOrder(std::memory_order order)
{
    switch (order) {
    case std::memory_order_relaxed:
        return rl::mo_relaxed;
    case std::memory_order_consume:
        return rl::mo_consume;
    case std::memory_order_acquire:
        return rl::mo_acquire;
    case std::memory_order_release:
        return rl::mo_release;
    case std::memory_order_acq_rel:
        return rl::mo_acq_rel;
    default:
        return rl::mo_seq_cst;
    }
}

// rl::atomic behind the part of std::atomic's interface the cores use; the
// wrapper supplies Relacy's debug information ($) on each access.
template <typename T>
class Atom
{
public:
    T load(std::memory_order order) const { return value($).load(rlOrder(order)); }
    void store(T desired, std::memory_order order) { value($).store(desired, rlOrder(order)); }
    T exchange(T desired, std::memory_order order) { return value($).exchange(desired, rlOrder(order)); }
    T fetch_add(T delta, std::memory_order order) { return value($).fetch_add(delta, rlOrder(order)); }
    bool compare_exchange_weak(T& expected, T desired, std::memory_order success, std::memory_order failure)
    {
        return value($).compare_exchange_weak(expected, desired, rlOrder(success), rlOrder(failure));
    }
    bool compare_exchange_strong(T& expected, T desired, std::memory_order success, std::memory_order failure)
    {
        return value($).compare_exchange_strong(expected, desired, rlOrder(success), rlOrder(failure));
    }

private:
    mutable rl::atomic<T> value;
};

// The kernel's futex, emulated as the kernel does it: a table keyed by
// address, under a lock of its own, outside the objects waited on. A wake-up
// only compares addresses, so one that comes after its object was freed is
// harmless here as it is in the kernel; a waiter reads its word under the
// table's lock, as the kernel reads it under its hash bucket's lock.
class FutexTable
{
public:
    static constexpr int MAX_WAITERS = 8;

    template <typename Word>
    bool wait(Word& word, uint32_t expected, bool timed)
    {
        const void* address = &word;
        mutex.lock($);
        if (static_cast<uint32_t>(word.load(std::memory_order_relaxed)) != expected) {
            mutex.unlock($);
            return true;
        }
        int entry = 0;
        while (waiters[entry].address != nullptr) {
            ++entry;
        }
        RL_ASSERT(entry < MAX_WAITERS);
        waiters[entry].address = address;
        waiters[entry].woken = false;
        bool woken = true;
        while (!waiters[entry].woken) {
            if (timed) {
                condition.wait_until(mutex, 0, $);
                // A timed wait that ended without a wake-up ran out of time.
                woken = waiters[entry].woken;
                break;
            }
            condition.wait(mutex, $);
        }
        waiters[entry].address = nullptr;
        mutex.unlock($);
        return woken || !timed;
    }

    void wake(const void* address, int count)
    {
        mutex.lock($);
        for (Waiter& waiter : waiters) {
            if (count > 0 && waiter.address == address && !waiter.woken) {
                waiter.woken = true;
                --count;
            }
        }
        condition.notify_all($);
        mutex.unlock($);
    }

private:
    struct Waiter
    {
        const void* address = nullptr;
        bool woken = false;  // guarded by mutex
    };
    rl::mutex mutex;
    rl::condition_variable condition;
    Waiter waiters[MAX_WAITERS];  // guarded by mutex
};

// The table of the model running now (each test iteration makes its own).
inline FutexTable*& futexTable()
{
    static FutexTable* table = nullptr;
    return table;
}

// The parking policy of the models: no spinning (a model explores every
// interleaving a spin would cover), a deadline that Relacy may let pass at
// any timed wait.
struct Parking
{
    struct Deadline
    {
        bool finite = false;
    };
    static Deadline deadlineIn(long ms) { return Deadline{ms >= 0}; }
    // A finite deadline counts as passed once a timed wait has come back:
    // the wait ran out, or Relacy chose to end it.
    static bool passed(const Deadline& deadline) { return deadline.finite; }

    template <typename Word>
    static bool wait(Word& word, uint32_t expected, const Deadline& deadline)
    {
        return futexTable()->wait(word, expected, deadline.finite);
    }
    template <typename Word>
    static void wakeOne(Word& word)
    {
        futexTable()->wake(&word, 1);
    }
    template <typename Word>
    static void wakeAll(Word& word)
    {
        futexTable()->wake(&word, FutexTable::MAX_WAITERS);
    }
    static bool maySpin() { return false; }
    static uint64_t spinClockNs() { return 0; }
    static void pause() {}
};

typedef halvix::os::internal::RingCore<Atom, Parking> Ring;
typedef halvix::os::internal::SemaphoreCore<Atom, Parking> Semaphore;

}  // namespace halvix::relacy

#endif  // HALVIX_TESTS_RELACY_RELACYPLATFORM_H
