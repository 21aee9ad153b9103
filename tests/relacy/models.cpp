// Relacy models of the OS layer's ring and semaphore: every model runs the
// library's own templates (ringCore.h, semaphoreCore.h) under Relacy's
// scheduler and memory model, which explores interleavings and the weak
// orderings aarch64 allows, and reports data races, deadlocks, lost wake-ups
// (a thread blocked for ever) and any access to freed memory.
//
//   halvix_relacy_models <model> [iterations]
//
// Models: spsc, mpmc, timed, semaphore-destroy, semaphore-timed,
// queue-destroy, mark.
#include "RelacyPlatform.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

using namespace halvix::relacy;

void* messageOf(uintptr_t value)
{
    return reinterpret_cast<void*>(value);
}

uintptr_t valueOf(void* message)
{
    return reinterpret_cast<uintptr_t>(message);
}

// A ring and its slots in one object, so that a model can free them at once.
template <uint32_t CAPACITY>
struct RingHolder
{
    RingHolder() : ring(slots, CAPACITY)
    {
        for (Ring::Slot& slot : slots) {
            slot.turn.store(0, std::memory_order_relaxed);
            slot.message.store(nullptr, std::memory_order_relaxed);
        }
    }
    Ring::Slot slots[CAPACITY];
    Ring ring;
};

bool writeTo(Ring& ring, uintptr_t value, long timeoutMs)
{
    bool slept = false;
    return ring.write(messageOf(value), timeoutMs, slept);
}

bool readFrom(Ring& ring, uintptr_t& value, long timeoutMs, bool marking = false)
{
    bool slept = false;
    void* message = nullptr;
    const bool taken = ring.read(message, timeoutMs, slept, marking);
    value = valueOf(message);
    return taken;
}

// The futex table of one iteration.
template <typename Model, unsigned THREADS>
struct ModelBase : rl::test_suite<Model, THREADS>
{
    FutexTable table;
    void beginModel() { futexTable() = &table; }
};

// A model over a ring of CAPACITY slots, made afresh for each iteration.
template <typename Model, unsigned THREADS, uint32_t CAPACITY>
struct RingModel : ModelBase<Model, THREADS>
{
    RingHolder<CAPACITY>* holder = nullptr;
    void before()
    {
        this->beginModel();
        holder = new RingHolder<CAPACITY>;
    }
};

// One writer, one reader, blocking: the reader gets 1, 2, 3 in that order,
// through one slot and through two.
template <uint32_t CAPACITY>
struct SpscOrder : RingModel<SpscOrder<CAPACITY>, 2, CAPACITY>
{
    void thread(unsigned index)
    {
        for (uintptr_t value = 1; value <= 3; ++value) {
            if (index == 0) {
                RL_ASSERT(writeTo(this->holder->ring, value, -1));
            } else {
                uintptr_t got = 0;
                RL_ASSERT(readFrom(this->holder->ring, got, -1));
                RL_ASSERT(got == value);
            }
        }
    }
    void after()
    {
        RL_ASSERT(this->holder->ring.size() == 0);
        delete this->holder;
    }
};

// Two writers and two readers on two slots: every message is taken exactly
// once, and each reader sees each writer's messages in their order.
struct MpmcExactlyOnce : RingModel<MpmcExactlyOnce, 4, 2>
{
    int seen[2][2] = {};  // [writer][message]: times taken; each reader fills its own part before after()
    uintptr_t got[2][2] = {};
    void thread(unsigned index)
    {
        if (index < 2) {
            for (uintptr_t message = 0; message < 2; ++message) {
                RL_ASSERT(writeTo(holder->ring, (index + 1) * 10 + message, -1));
            }
            return;
        }
        const unsigned reader = index - 2;
        uintptr_t last[2] = {0, 0};
        for (int i = 0; i < 2; ++i) {
            uintptr_t value = 0;
            RL_ASSERT(readFrom(holder->ring, value, -1));
            const uintptr_t writer = value / 10 - 1;
            RL_ASSERT(writer < 2);
            RL_ASSERT(value > last[writer]);  // per-writer order at this reader
            last[writer] = value;
            got[reader][i] = value;
        }
    }
    void after()
    {
        for (auto& reader : got) {
            for (uintptr_t value : reader) {
                ++seen[value / 10 - 1][value % 10];
            }
        }
        for (auto& writer : seen) {
            for (int times : writer) {
                RL_ASSERT(times == 1);
            }
        }
        delete holder;
    }
};

// Writes and reads that may time out or poll, through one slot: a call that
// fails has claimed nothing, so what was written equals what was read plus
// what is left, nothing twice.
struct TimedClaimsOnlyWhatItCompletes : RingModel<TimedClaimsOnlyWhatItCompletes, 3, 1>
{
    bool written[3] = {};  // [value]: its write succeeded; each writer sets its own
    int taken[3] = {};
    uintptr_t readValues[2] = {};
    void thread(unsigned index)
    {
        if (index < 2) {
            written[index + 1] = writeTo(holder->ring, index + 1, index == 0 ? 10 : 0);
            return;
        }
        for (uintptr_t& value : readValues) {
            if (!readFrom(holder->ring, value, 10)) {
                RL_ASSERT(value == 0);  // a failed read yields null
            }
        }
    }
    void after()
    {
        for (uintptr_t value : readValues) {
            ++taken[value];
        }
        uintptr_t value = 0;
        while (readFrom(holder->ring, value, 0)) {
            ++taken[value];
        }
        RL_ASSERT(holder->ring.size() == 0);
        for (int v = 1; v <= 2; ++v) {
            RL_ASSERT(taken[v] == (written[v] ? 1 : 0));
        }
        delete holder;
    }
};

// Two givers, two takers; the taker that finishes last destroys the
// semaphore at once, while the givers may still be inside give.
struct SemaphoreGiveTakeDestroy : ModelBase<SemaphoreGiveTakeDestroy, 4>
{
    Semaphore* semaphore = nullptr;
    rl::atomic<int> takes;
    void before()
    {
        beginModel();
        semaphore = new Semaphore(0);
        takes($).store(0, rl::mo_relaxed);
    }
    void thread(unsigned index)
    {
        if (index < 2) {
            semaphore->give();
            return;
        }
        bool slept = false;
        RL_ASSERT(semaphore->take(-1, slept));
        if (takes($).fetch_add(1, rl::mo_acq_rel) == 1) {
            delete semaphore;
        }
    }
};

// Two gives, a taker that waits without limit and one with a time-out: the
// first always gets a unit; the second gets the other one or leaves it, and
// a time-out takes nothing with it.
struct SemaphoreTimedTake : ModelBase<SemaphoreTimedTake, 4>
{
    Semaphore* semaphore = nullptr;
    bool timedTook = false;
    void before()
    {
        beginModel();
        semaphore = new Semaphore(0);
    }
    void thread(unsigned index)
    {
        bool slept = false;
        if (index < 2) {
            semaphore->give();
        } else if (index == 2) {
            RL_ASSERT(semaphore->take(-1, slept));
        } else {
            timedTook = semaphore->take(10, slept);
        }
    }
    void after()
    {
        const int left = semaphore->count();
        RL_ASSERT(left == (timedTook ? 0 : 1));
        delete semaphore;
    }
};

// Two writers, one reader that destroys the queue the moment it has both
// messages, while the writers may still be inside write.
struct QueueWriteReadDestroy : RingModel<QueueWriteReadDestroy, 3, 1>
{
    void thread(unsigned index)
    {
        if (index < 2) {
            RL_ASSERT(writeTo(holder->ring, index + 1, -1));
            return;
        }
        uintptr_t first = 0;
        uintptr_t second = 0;
        RL_ASSERT(readFrom(holder->ring, first, -1));
        RL_ASSERT(readFrom(holder->ring, second, -1));
        RL_ASSERT(first + second == 3);
        delete holder;
    }
};

// Two marking readers and a writer that stores the next message only once
// the ring looks empty, so at most one message waits and each reader holds
// at most one slot it took: the mark may say 2, never more, even when a
// reader stalls between taking its position and marking while the other
// takes the positions after it and the writer fills them again.
struct MarkOfStalledReaderCountsOnlyWhatTheRingHeld
    : RingModel<MarkOfStalledReaderCountsOnlyWhatTheRingHeld, 3, 3>
{
    void thread(unsigned index)
    {
        if (index == 0) {
            for (uintptr_t value : {1, 2, 3, 4, 0, 0}) {  // each reader stops at a 0
                RL_ASSERT(writeTo(holder->ring, value, -1));
                while (holder->ring.size() != 0) {
                    rl::yield(1, $);
                }
            }
            return;
        }
        uintptr_t value = 1;
        while (value != 0) {
            RL_ASSERT(readFrom(holder->ring, value, -1, true));
        }
    }
    void after()
    {
        RL_ASSERT(holder->ring.highWater() <= 2);
        delete holder;
    }
};

template <typename Model>
bool run(unsigned long iterations)
{
    rl::test_params params;
    params.iteration_count = iterations;
    params.search_type = rl::random_scheduler_type;
    return rl::simulate<Model>(params);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << "usage: halvix_relacy_models <model> [iterations]\n";
        return 2;
    }
    const std::string model = argv[1];
    const unsigned long iterations = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 200000;
    bool passed = false;
    if (model == "spsc") {
        passed = run<SpscOrder<1>>(iterations) && run<SpscOrder<2>>(iterations);
    } else if (model == "mpmc") {
        passed = run<MpmcExactlyOnce>(iterations);
    } else if (model == "timed") {
        passed = run<TimedClaimsOnlyWhatItCompletes>(iterations);
    } else if (model == "semaphore-destroy") {
        passed = run<SemaphoreGiveTakeDestroy>(iterations);
    } else if (model == "semaphore-timed") {
        passed = run<SemaphoreTimedTake>(iterations);
    } else if (model == "queue-destroy") {
        passed = run<QueueWriteReadDestroy>(iterations);
    } else if (model == "mark") {
        passed = run<MarkOfStalledReaderCountsOnlyWhatTheRingHeld>(iterations);
    } else {
        std::cerr << "unknown model " << model << "\n";
        return 2;
    }
    return passed ? 0 : 1;
}
