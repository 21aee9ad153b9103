// halvix/os/src/ringCore.h - a bounded multi-producer, multi-consumer ring of
// message pointers without locks, parked on futexes (internal; written once
// for the library and for the model checker, see parking.h).
//
// The scheme is Dmitry Vyukov's bounded queue. Writers claim positions from
// one 64-bit counter and readers from another, each on a cache line of its
// own; position p lives in slot p mod capacity, in lap p / capacity. Each
// slot has a 32-bit turn word that says what the slot waits for:
//
//   bits 2-31  the lap, modulo 2^30
//   bit 1      0: the writer of that lap, 1: its reader
//   bit 0      somebody sleeps on this word
//
// A writer of position p looks at the slot first and claims p only when the
// slot waits for it (a compare-exchange of the counter from p), so a poll or
// a time-out never claims a position it cannot complete; then it stores the
// message and hands the slot to the reader of the lap. A reader does the
// same on its side and hands the slot to the writer of the next lap. Turns
// rather than sequence numbers tell the writer of a lap from its reader for
// every capacity, one slot included. Lap numbers that wrapped around are
// compared by the sign of their 32-bit difference: a thread would need to
// stall for 2^29 laps of the ring between its look at the counter and its
// look at the slot to be misled, and even then the compare-exchange on the
// 64-bit counter refuses a stale position.
//
// Blocking without shared counters: a writer that finds its slot still full
// (or a reader that finds it still empty) spins on the turn word for a while,
// then sets bit 0 by compare-exchange and sleeps on the word while it keeps
// that value. The hand-over of a slot is an exchange of the whole word, so
// one atomic both publishes the new turn and returns whether anybody slept
// there; only then does it wake them all, by the word's address. After that
// exchange a write or read touches nothing of the ring: the reader of the
// message may destroy the queue at once.
//
// Order: positions are claimed in order, and a reader takes position p only
// after the writer of p published, so each writer's messages reach every
// reader in the order written, and a message is taken exactly once.
#ifndef HALVIX_OS_SRC_RINGCORE_H
#define HALVIX_OS_SRC_RINGCORE_H

#include "halvix/os/src/parking.h"

#include <atomic>
#include <cstdint>

namespace halvix::os::internal {

template <template <typename> class Atom, typename Parking>
class RingCore
{
public:
    struct Slot
    {
        Atom<uint32_t> turn;  // see the top of the file; 0: the writer of lap 0
        Atom<void*> message;  // ordered by `turn`, so relaxed on its own
    };

    // A ring over `slots`, `capacity` (> 0) of them, whose turns are 0.
    RingCore(Slot* ringSlots, uint32_t slotCount)
        : slots(ringSlots), capacity(slotCount),
          laneShift((slotCount & (slotCount - 1)) == 0 ? static_cast<uint32_t>(__builtin_ctz(slotCount))
                                                       : NO_SHIFT)
    {
        // Relaxed: the creator publishes the ring with its handle.
        writers.position.store(0, std::memory_order_relaxed);
        writers.spinBudgetNs.store(MAX_SPIN_NS, std::memory_order_relaxed);
        readers.position.store(0, std::memory_order_relaxed);
        readers.spinBudgetNs.store(MAX_SPIN_NS, std::memory_order_relaxed);
        readers.highWater.store(0, std::memory_order_relaxed);
        writers.highWater.store(0, std::memory_order_relaxed);  // unused: the readers keep the mark
    }

    // Stores `message`, waiting up to `timeoutMs` (-1 no limit, 0 no wait) in
    // total for a free slot. False when none came in time; `slept` then
    // tells whether the call went to sleep at all.
    bool write(void* message, long timeoutMs, bool& slept)
    {
        Wait wait(timeoutMs);
        // Relaxed: a guess at the next position; the slot's turn and the
        // compare-exchange decide.
        uint64_t position = writers.position.load(std::memory_order_relaxed);
        for (;;) {
            uint32_t turn;
            Slot& slot = locate(position, turn);
            // Acquire: the reader of the previous lap has taken its message
            // out before the slot is refilled.
            const uint32_t seen = slot.turn.load(std::memory_order_acquire);
            const int32_t ahead = static_cast<int32_t>((seen & ~SLEEPER) - turn);
            if (ahead == 0) {
                // Relaxed: the claim orders nothing; the slot's turn does.
                if (writers.position.compare_exchange_weak(position, position + 1, std::memory_order_relaxed,
                                                           std::memory_order_relaxed)) {
                    slot.message.store(message, std::memory_order_relaxed);
                    handOver(slot, turn | READER);
                    slept = wait.slept;
                    return true;
                }
            } else if (ahead > 0 ||
                       !stillAt(writers, position)) {  // NOLINT(bugprone-branch-clone): order matters
                position = writers.position.load(std::memory_order_relaxed);  // overtaken: look again
            } else if (!awaitChange(slot, seen, writers.spinBudgetNs, wait)) {
                slept = wait.slept;
                return false;
            } else {
                position = writers.position.load(std::memory_order_relaxed);
            }
        }
    }

    // Takes the oldest message into `message`, waiting up to `timeoutMs` in
    // total for one; as write otherwise. With `marking`, the read also keeps
    // the high-water mark (see highWater).
    bool read(void*& message, long timeoutMs, bool& slept, bool marking = false)
    {
        Wait wait(timeoutMs);
        uint64_t position = readers.position.load(std::memory_order_relaxed);  // as in write
        for (;;) {
            uint32_t turn;
            Slot& slot = locate(position, turn);
            turn |= READER;
            // Acquire: the message the writer stored before its hand-over.
            const uint32_t seen = slot.turn.load(std::memory_order_acquire);
            const int32_t ahead = static_cast<int32_t>((seen & ~SLEEPER) - turn);
            if (ahead == 0) {
                if (readers.position.compare_exchange_weak(position, position + 1, std::memory_order_relaxed,
                                                           std::memory_order_relaxed)) {
                    message = slot.message.load(std::memory_order_relaxed);
                    if (marking) {
                        raiseMarkAt(position);  // before the hand-over, which may end the ring
                    }
                    handOver(slot, turn + READER);  // the writer of the next lap
                    slept = wait.slept;
                    return true;
                }
            } else if (ahead > 0 ||
                       !stillAt(readers, position)) {  // NOLINT(bugprone-branch-clone): order matters
                position = readers.position.load(std::memory_order_relaxed);
            } else if (!awaitChange(slot, seen, readers.spinBudgetNs, wait)) {
                slept = wait.slept;
                return false;
            } else {
                position = readers.position.load(std::memory_order_relaxed);
            }
        }
    }

    // Messages stored now, as a snapshot of the two positions clamped to
    // [0, capacity] (a write or read in flight may count on either side).
    int size() const
    {
        // Relaxed: a snapshot through which no data is read.
        const uint64_t taken = readers.position.load(std::memory_order_relaxed);
        const uint64_t written = writers.position.load(std::memory_order_relaxed);
        if (written <= taken) {
            return 0;
        }
        return written - taken >= capacity ? static_cast<int>(capacity) : static_cast<int>(written - taken);
    }

    // Messages ever stored: the writers' position, which counts each stored
    // message once (a position is claimed only when its write completes).
    uint64_t written() const
    {
        return writers.position.load(std::memory_order_relaxed);  // relaxed: a statistic
    }

    // The most messages the ring held at once, as marking reads found them
    // when they took a message (each counts the one it takes). Between two
    // reads the number held only grows, so a look at each read sees every
    // peak but the present one, which size() tells.
    uint32_t highWater() const
    {
        return readers.highWater.load(std::memory_order_relaxed);  // relaxed: a statistic
    }

private:
    static constexpr uint32_t SLEEPER = 1;
    static constexpr uint32_t READER = 2;
    static constexpr uint32_t NO_SHIFT = 64;

    // One side's position and spin budget, on a cache line of its own so that
    // writers and readers on two CPUs do not pull one line back and forth.
    struct alignas(64) Side
    {
        Atom<uint64_t> position;      // the next position this side claims
        Atom<uint32_t> spinBudgetNs;  // parking.h's adaptive spin
        Atom<uint32_t> highWater;     // readers only: see highWater()
    };

    // The state of one write's or read's waiting: the deadline is taken once,
    // at the first wait, and holds for every wait of the call.
    struct Wait
    {
        explicit Wait(long limitMs) : timeoutMs(limitMs) {}
        long timeoutMs;
        bool started = false;
        bool slept = false;
        typename Parking::Deadline deadline{};
    };

    Slot& locate(uint64_t position, uint32_t& turn) const
    {
        uint64_t lap;
        uint64_t index;
        if (laneShift != NO_SHIFT) {
            lap = position >> laneShift;
            index = position & (capacity - 1);
        } else {
            lap = position / capacity;
            index = position % capacity;
        }
        turn = static_cast<uint32_t>(lap) << 2;
        return slots[index];
    }

    // A marking read took `position`: raises the mark if more messages than
    // it says are stored, counting the one taken. The mark, m, is beaten
    // only when position + m is published already, so the usual look is at
    // one slot just ahead of the reader, a line it owns from the last lap
    // or shares with the slot it took; only a read that finds more than the
    // mark waiting reads the writers' position from their cache line.
    void raiseMarkAt(uint64_t position)
    {
        // Relaxed but where said: a statistic, never a reason to read a message.
        uint32_t mark = readers.highWater.load(std::memory_order_relaxed);
        if (mark >= capacity) {
            return;
        }
        uint32_t turn;
        const Slot& ahead = locate(position + mark, turn);
        turn |= READER;
        if (static_cast<int32_t>((ahead.turn.load(std::memory_order_relaxed) & ~SLEEPER) - turn) < 0) {
            return;  // position + mark not written yet: no more than the mark waits
        }
        // Counted from the readers' position, not from `position`: other
        // readers may have taken the positions after it meanwhile (while this
        // one was preempted, the writers could refill a whole lap behind
        // them). That position is read by a read-modify-write, which sees
        // the latest claim, where a load could see an older one and count
        // taken messages as held; acquire keeps it after the writers' load.
        // Both only on a read that beats the mark.
        const uint64_t written = writers.position.load(std::memory_order_acquire);
        const uint64_t taken = readers.position.fetch_add(0, std::memory_order_relaxed);
        const uint64_t held = written > taken ? written - taken + 1 : 1;  // + 1: the message this read takes
        const uint32_t now = held >= capacity ? capacity : static_cast<uint32_t>(held);
        // Readers on several threads may raise it at once: only upwards.
        while (mark < now && !readers.highWater.compare_exchange_weak(mark, now, std::memory_order_relaxed,
                                                                      std::memory_order_relaxed)) {
        }
    }

    // Whether the side has not moved past `position`: a slot that looked
    // full (or empty) is only final for the current position.
    static bool stillAt(const Side& side, uint64_t position)
    {
        return side.position.load(std::memory_order_relaxed) == position;  // relaxed: as in write
    }

    // Gives the slot to `turn` and wakes whoever slept on it. Release: the
    // message stored, or taken out, before is seen by the next owner of the
    // slot. The exchange returns whether anybody slept; the wake-up names the
    // word only by its address (the ring may be gone by then).
    void handOver(Slot& slot, uint32_t turn)
    {
        if (slot.turn.exchange(turn, std::memory_order_release) & SLEEPER) {
            Parking::wakeAll(slot.turn);
        }
    }

    // Waits until the slot's turn moves on from `seen`: spins, then sleeps.
    // False when the call may not wait (a poll) or its deadline has passed;
    // true when the caller should look again (the turn moved, a wake-up came,
    // or the sleep ended early).
    bool awaitChange(Slot& slot, uint32_t seen, Atom<uint32_t>& spinBudgetNs, Wait& wait)
    {
        if (wait.timeoutMs == 0) {
            return false;
        }
        if (!wait.started) {
            wait.started = true;
            wait.deadline = Parking::deadlineIn(wait.timeoutMs);
        } else if (Parking::passed(wait.deadline)) {
            return false;
        }
        // Relaxed while spinning: the caller's next look acquires.
        if (spinUntil<Atom, Parking>(spinBudgetNs, [&slot, seen] {
                return ((slot.turn.load(std::memory_order_relaxed) ^ seen) & ~SLEEPER) != 0;
            })) {
            return true;
        }
        uint32_t expected = seen;
        if ((seen & SLEEPER) == 0) {
            // Relaxed: the flag and the hand-over's exchange are
            // read-modify-writes of one word; one sees the other.
            if (!slot.turn.compare_exchange_strong(expected, seen | SLEEPER, std::memory_order_relaxed,
                                                   std::memory_order_relaxed)) {
                return true;  // the turn moved meanwhile
            }
        }
        wait.slept = true;
        Parking::wait(slot.turn, seen | SLEEPER, wait.deadline);
        return true;
    }

    Slot* const slots;
    const uint32_t capacity;
    const uint32_t laneShift;  // log2(capacity) when it is a power of two, else NO_SHIFT
    Side writers;
    Side readers;
};

}  // namespace halvix::os::internal

#endif  // HALVIX_OS_SRC_RINGCORE_H
