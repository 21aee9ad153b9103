// Switching observation on: counting, the timeline's hooks and thread names.
#include "halvix/observe/src/Switch.h"

#include "halvix/observe/Observe.h"
#include "halvix/observe/src/Timeline.h"
#include "halvix/os/osTask.h"
#include "halvix/src/ObserverHooks.h"

#include <atomic>
#include <mutex>

namespace halvix::observe {

namespace {

using queue::internal::ObserverHooks;

// Constant-initialised and never destroyed, as the lower modules require of
// an installed table.
constexpr ObserverHooks COUNTING{nullptr, nullptr, nullptr};
constexpr ObserverHooks RECORDING{&timeline::queueWaited, &timeline::macroRan, &timeline::timerDelivered};

// Relaxed: read on its own, for the uptime of a snapshot.
std::atomic<int64_t> countingSince{0};

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

}  // namespace

void startCounting()
{
    if (countingSince.load(std::memory_order_relaxed) != 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(switchMutex());
    if (countingSince.load(std::memory_order_relaxed) == 0) {
        countingSince.store(queue::internal::observedNowNs(), std::memory_order_relaxed);
        install(&COUNTING);
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
    install(on ? &RECORDING : &COUNTING);
}

}  // namespace detail

}  // namespace halvix::observe
