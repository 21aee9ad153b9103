// halvix/os/src/parking.h - how a thread of the OS layer waits for a word of
// memory to change: a short adaptive spin, then a sleep in the kernel
// (internal).
//
// The semaphore (semaphoreCore.h) and the message ring (ringCore.h) are
// written once, as templates on the atomic type `Atom` and on a parking
// policy, so that the same code runs in the library (std::atomic and the
// futex system call, FutexParking below) and under a model checker of the C++
// memory model (tests/relacy). A parking policy provides:
//
//   Deadline                     an absolute instant, or none (no limit)
//   Deadline deadlineIn(long ms)  now + ms (ms > 0); -1 gives none
//   bool passed(const Deadline&)  the instant is behind us
//   bool wait(Atom<W>& word, uint32_t expected, const Deadline&)
//                                sleeps while the low 32 bits of `word` equal
//                                `expected`, until woken or the deadline; may
//                                return early for no reason (callers look
//                                again); false only when the deadline passed
//   void wakeOne(Atom<W>& word), wakeAll(Atom<W>& word)
//                                wake sleepers of `word`; they name the word
//                                only by its address and never read it, so a
//                                waker may call them after another thread
//                                freed the word
//   bool maySpin()               spinning can pay for the calling thread
//   uint64_t spinClockNs()       a monotonic clock for bounding spins
//   void pause()                 tell the CPU we are spinning
//
// Why futexes rather than the layer's own mutex and condition: a futex lets
// the one atomic read-modify-write that publishes a unit also tell whether
// anybody sleeps, and the wake-up that follows names only an address. A
// mutex and condition would have the giver touch the object after its unit
// can be taken, which is the use-after-free that a taker destroying the object
// at once runs into; they also cost two more locked hand-offs per sleep.
#ifndef HALVIX_OS_SRC_PARKING_H
#define HALVIX_OS_SRC_PARKING_H

#include <time.h>

#include <atomic>
#include <cstdint>

namespace halvix::os::internal {

// The library's parking policy: futexes on CLOCK_MONOTONIC deadlines.
struct FutexParking
{
    // tv_sec < 0: no limit.
    typedef timespec Deadline;

    static Deadline deadlineIn(long ms);
    static bool passed(const Deadline& deadline);

    // Sleeps with FUTEX_WAIT_BITSET, whose time-out is absolute on
    // CLOCK_MONOTONIC: a wait cut short by a signal (EINTR) or a wake-up that
    // came for somebody else resumes to the same instant, so the total never
    // drifts and never ends early. A 64-bit word is waited on by its low half
    // (its first four bytes on this little- or big-endian host); its owner
    // argues why every change that matters shows there.
    template <typename Word>
    static bool wait(Word& word, uint32_t expected, const Deadline& deadline)
    {
        return waitOn(lowHalf(&word), expected, deadline);
    }
    template <typename Word>
    static void wakeOne(Word& word)
    {
        wake(lowHalf(&word), 1);
    }
    template <typename Word>
    static void wakeAll(Word& word)
    {
        wake(lowHalf(&word), INT32_MAX);
    }

    // False while the calling thread may run on one CPU only and no other
    // waiting thread of the process may run elsewhere (WaiterCpus below): a
    // spinner there only delays the thread it waits for. The affinity is read
    // with sched_getaffinity, cached per thread and read again every few dozen
    // to few hundred calls, so a process moved under `taskset -c 0` stops
    // spinning soon.
    static bool maySpin();
    // Whether the calling thread may run on more than one CPU (cached as
    // for maySpin).
    static bool severalCpus();
    static uint64_t spinClockNs();
    static void pause()
    {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield" ::: "memory");
#endif
    }

private:
    template <typename Word>
    static const void* lowHalf(const Word* word)
    {
        static_assert(sizeof(Word) == 4 || sizeof(Word) == 8, "a futex word has 32 bits");
        const char* address = reinterpret_cast<const char*>(word);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        address += sizeof(Word) - 4;
#endif
        return address;
    }
    static bool waitOn(const void* address, uint32_t expected, const Deadline& deadline);
    static void wake(const void* address, int count);
};

// The CPUs on which the process's waiting threads may run, as recorded over
// the current epoch and the one before (an epoch is a tenth of a second of
// the monotonic clock), so that a thread which may run on one CPU only can
// tell apart two cases that its affinity alone cannot. Under `taskset -c 0`
// every thread it may wait for shares its CPU: a spin only delays that
// thread. In a pair pinned to two CPUs (a thread per core) the partner runs
// elsewhere and spinning is what makes the pair fast: a pinned ping-pong took
// 40-47 us a round trip without it and 0.4-0.6 us with it, measured here
// with the machine busy (load average 5). Which thread a wait waits for is
// not known, so the rule is process-wide: a one-CPU thread spins while some
// waiting thread may run on another CPU. A process that pins two partners to
// one CPU and others elsewhere spins in vain, and pays what an unpinned
// thread pays for a spin that fails: the object's adaptive budget
// (spinUntil) soon shrinks to its floor.
//
// CPU n is recorded as bit n mod CPU_BITS; two CPUs that share a bit count as
// one, the cautious side. Each of the two slots holds the epoch it belongs to
// (mod 2^32) in its high half, so a record of an older epoch is recognised
// and replaced without a lock.
//
// The words are relaxed atomics: they are a hint that guards no data, and a
// stale view only makes a thread spin, or not, for a few more waits.
class WaiterCpus
{
public:
    static constexpr unsigned CPU_BITS = 32;

    static uint64_t bitOf(unsigned cpu) { return uint64_t(1) << (cpu % CPU_BITS); }

    // Records that a thread which may run on `cpus` (bitOf each) waits in
    // `epoch`.
    void record(uint64_t cpus, uint64_t epoch)
    {
        std::atomic<uint64_t>& slot = slots[epoch & 1];
        const uint64_t tag = epoch << CPU_BITS;
        uint64_t seen = slot.load(std::memory_order_relaxed);
        for (;;) {
            const uint64_t seenTag = seen & ~CPU_MASK;
            // A record of a slightly later epoch stays: this thread was
            // delayed since it read the clock. Any other record is stale.
            const uint64_t ahead = (seenTag - tag) >> CPU_BITS;
            if (ahead != 0 && ahead <= LATE_EPOCHS && (seen & CPU_MASK) != 0) {
                return;
            }
            const uint64_t next = seenTag == tag ? seen | cpus : tag | cpus;
            if (next == seen || slot.compare_exchange_weak(seen, next, std::memory_order_relaxed,
                                                           std::memory_order_relaxed)) {
                return;
            }
        }
    }

    // Whether a thread recorded in `epoch` or the one before may run on a CPU
    // outside `cpus`.
    bool anyOutside(uint64_t cpus, uint64_t epoch) const
    {
        return holdsOutside(slots[epoch & 1].load(std::memory_order_relaxed), epoch, cpus) ||
               holdsOutside(slots[(epoch - 1) & 1].load(std::memory_order_relaxed), epoch - 1, cpus);
    }

private:
    static constexpr uint64_t CPU_MASK = (uint64_t(1) << CPU_BITS) - 1;
    // How far behind the slot a record may be and still count as late rather
    // than as belonging to an epoch that has come round again.
    static constexpr uint64_t LATE_EPOCHS = 16;

    // Whether a slot's `value` is a record of `epoch` with a CPU outside `cpus`.
    static bool holdsOutside(uint64_t value, uint64_t epoch, uint64_t cpus)
    {
        return (value >> CPU_BITS) == (epoch & CPU_MASK) && (value & CPU_MASK & ~cpus) != 0;
    }

    std::atomic<uint64_t> slots[2] = {};  // epoch mod 2^32 in the high half, CPUs in the low
};

// Spins until `ready()` holds, for at most the budget in `budgetNs`, and
// adapts the budget: a spin that succeeds doubles it (up to MAX_SPIN_NS), one
// that runs out halves it (down to MIN_SPIN_NS), so an object whose waits are
// short keeps spinning and one whose waits are long soon spends only a little
// before it sleeps. True when `ready()` held.
//
// The bound: a spin pays only while it is cheaper than the sleep it avoids.
// Measured here, a futex sleep and its cross-CPU wake-up cost 10-45 us of
// latency and 5-10 us of CPU time; the cap stays below that. The floor keeps
// a little spinning alive, so that the budget can grow again when the waits
// get short: a partner that runs answers a ping-pong in well under a
// microsecond. It is small because a spin that fails only delays the sleep:
// with the machine busy (load average 7 on two CPUs) a round trip took 6.8 us
// with a 250 ns floor, 8.1 us with 1 us, and 6.1 us without spinning at all.
constexpr uint32_t MIN_SPIN_NS = 250;
constexpr uint32_t MAX_SPIN_NS = 16000;

template <template <typename> class Atom, typename Parking, typename Ready>
bool spinUntil(Atom<uint32_t>& budgetNs, Ready ready)
{
    if (!Parking::maySpin()) {
        return false;
    }
    // Relaxed: a hint shared by the waiters of one object; a stale value only
    // makes one spin longer or shorter.
    const uint32_t budget = budgetNs.load(std::memory_order_relaxed);
    const uint64_t start = Parking::spinClockNs();
    for (uint32_t i = 1;; ++i) {
        if (ready()) {
            if (budget < MAX_SPIN_NS) {
                budgetNs.store(budget * 2 < MAX_SPIN_NS ? budget * 2 : MAX_SPIN_NS,
                               std::memory_order_relaxed);
            }
            return true;
        }
        Parking::pause();
        // The clock costs about as much as a pause: read it every 16th turn.
        if (i % 16 == 0 && Parking::spinClockNs() - start > budget) {
            break;
        }
    }
    if (budget > MIN_SPIN_NS) {
        budgetNs.store(budget / 2 > MIN_SPIN_NS ? budget / 2 : MIN_SPIN_NS, std::memory_order_relaxed);
    }
    return false;
}

// Traces a wait that ran out at DBG_LEVEL_LOG as the condition wait that the
// OS layer's semaphores and queues were once built on did ("pthread error
// 110" under osConditionWait), so that a trace reads the same as before.
void traceWaitTimedOut();

}  // namespace halvix::os::internal

#endif  // HALVIX_OS_SRC_PARKING_H
