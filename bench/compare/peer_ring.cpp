// The baseline anyone can write: a bounded ring on std::mutex and two
// std::condition_variable's, a worker thread over it for dispatch, and a
// thread sleeping in condition_variable::wait_until as the timer.
#include "peers.h"
#include "register.h"

#include "common/StdRing.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace compare {
namespace {

using bench::StdRing;

// One thread per expiry, sleeping until the absolute deadline: the plain way
// to wait for a moment without a timer facility.
Measurement waitUntilLateness()
{
    std::mutex mutex;
    std::condition_variable never;
    std::thread sleeper;
    auto samples = sampleLateness([&](std::function<void()> fire) {
        const auto deadline = Clock::now() + TIMER_DELAY;
        if (sleeper.joinable()) {
            sleeper.join();
        }
        sleeper = std::thread([&mutex, &never, deadline, fire = std::move(fire)] {
            std::unique_lock<std::mutex> lock(mutex);
            never.wait_until(lock, deadline, [deadline] { return Clock::now() >= deadline; });
            lock.unlock();
            fire();
        });
    });
    sleeper.join();
    return lateness(std::move(samples));
}

}  // namespace

void registerStdRing(Registry& registry)
{
    registerQueueAndWorker<StdRing>(registry, "std ring");
    registerTimerWorkloads(registry, "std ring", waitUntilLateness);
    registry.note("std ring: timers are a thread sleeping in condition_variable::wait_until (no idle-timer "
                  "row: it has no timer facility); dispatch is a worker thread over the ring.");
}

}  // namespace compare
