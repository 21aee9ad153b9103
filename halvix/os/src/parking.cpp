// The futex side of the OS layer's parking policy (see parking.h).
#include "halvix/os/src/parking.h"

#include "halvix/dbg/dbg.h"
#include "halvix/os/osMutex.h"
#include "halvix/os/src/conditionWait.h"

#include <errno.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace halvix::os::internal {

namespace {

// How many slow-path entries of a thread reuse its cached answers: fewer
// while it may not spin, so that a thread pinned before its partner was
// recorded starts spinning within a few dozen waits.
constexpr uint32_t AFFINITY_REUSES = 256;
constexpr uint32_t AFFINITY_REUSES_NO_SPIN = 32;

// Per thread: whether it may run on more than one CPU, whether it may spin,
// and how many more times those answers are used before they are worked out
// again. Plain thread-locals: only their own thread touches them.
thread_local bool tlsSeveralCpus = false;
thread_local bool tlsMaySpin = false;
thread_local uint32_t tlsAffinityReuses = 0;

// The length of WaiterCpus's epochs. Short, so that threads which stopped
// waiting, or were moved, are forgotten soon; long beside the time a busy
// pinned pair takes to record itself again (AFFINITY_REUSES waits).
constexpr long EPOCH_MS = 100;

// Trivially destructible (two atomic words): nothing destroys it under
// threads that still wait while the process exits.
WaiterCpus waiterCpus;

// Reads the calling thread's affinity and works out its answers.
void readAffinity()
{
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    // A refusal leaves the answers at one CPU and no spinning, the cautious
    // side.
    if (sched_getaffinity(0, sizeof(cpus), &cpus) != 0) {
        tlsSeveralCpus = false;
        tlsMaySpin = false;
        tlsAffinityReuses = AFFINITY_REUSES_NO_SPIN;
        return;
    }
    uint64_t mine = 0;
    for (unsigned cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &cpus)) {
            mine |= WaiterCpus::bitOf(cpu);
        }
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    const uint64_t epoch = static_cast<uint64_t>(now.tv_sec) * (1000 / EPOCH_MS) +
                           static_cast<uint64_t>(now.tv_nsec) / (EPOCH_MS * 1000000);
    waiterCpus.record(mine, epoch);
    tlsSeveralCpus = CPU_COUNT(&cpus) > 1;
    tlsMaySpin = tlsSeveralCpus || waiterCpus.anyOutside(mine, epoch);
    tlsAffinityReuses = tlsMaySpin ? AFFINITY_REUSES : AFFINITY_REUSES_NO_SPIN;
}

// Counts one use of the cached answers, reading the affinity when they ran out.
void useAffinity()
{
    if (tlsAffinityReuses == 0) {
        readAffinity();
    }
    --tlsAffinityReuses;
}

}  // namespace

FutexParking::Deadline FutexParking::deadlineIn(long ms)
{
    Deadline deadline;
    if (ms < 0) {
        deadline.tv_sec = -1;
        deadline.tv_nsec = 0;
    } else {
        osPosixGetTimeIn(&deadline, ms);
    }
    return deadline;
}

bool FutexParking::passed(const Deadline& deadline)
{
    if (deadline.tv_sec < 0) {
        return false;
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

bool FutexParking::waitOn(const void* address, uint32_t expected, const Deadline& deadline)
{
    // Private: the words live in this process only, which spares the kernel
    // the look-up of a shared mapping. Without FUTEX_CLOCK_REALTIME the
    // bitset wait measures its absolute time-out on CLOCK_MONOTONIC.
    const timespec* limit = deadline.tv_sec < 0 ? nullptr : &deadline;
    const long status = syscall(SYS_futex, address, FUTEX_WAIT_BITSET_PRIVATE, expected, limit, nullptr,
                                FUTEX_BITSET_MATCH_ANY);
    // EAGAIN (the word had changed) and EINTR (a signal) are early returns
    // the caller absorbs by looking again; only the time-out ends a wait.
    return status == 0 || errno != ETIMEDOUT;
}

void FutexParking::wake(const void* address, int count)
{
    // The kernel only hashes the address: the memory behind it may already
    // be freed by a thread this wake-up let go.
    syscall(SYS_futex, address, FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

bool FutexParking::maySpin()
{
    useAffinity();
    return tlsMaySpin;
}

bool FutexParking::severalCpus()
{
    useAffinity();
    return tlsSeveralCpus;
}

uint64_t FutexParking::spinClockNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

void traceWaitTimedOut()
{
    DBG_TRACE_AS(DBG_LEVEL_LOG, "dbg", CONDITION_WAIT_TRACE_NAME, "pthread error %d\n", ETIMEDOUT);
}

}  // namespace halvix::os::internal
