// The baseline anyone can write: a bounded ring on std::mutex and two
// std::condition_variable's, a worker thread over it for dispatch, and a
// thread sleeping in condition_variable::wait_until as the timer.
#include "peers.h"
#include "register.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace compare {
namespace {

class StdRing
{
public:
    explicit StdRing(int slots) : m_slots(static_cast<size_t>(slots)) {}

    void push(void* message)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_notFull.wait(lock, [this] { return m_count < m_slots.size(); });
        m_slots[(m_head + m_count) % m_slots.size()] = message;
        ++m_count;
        lock.unlock();
        m_notEmpty.notify_one();
    }

    void* pop()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_notEmpty.wait(lock, [this] { return m_count > 0; });
        void* message = m_slots[m_head];
        m_head = (m_head + 1) % m_slots.size();
        --m_count;
        lock.unlock();
        m_notFull.notify_one();
        return message;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_notFull;
    std::condition_variable m_notEmpty;
    std::vector<void*> m_slots;  // guarded by m_mutex
    size_t m_head = 0;           // guarded by m_mutex
    size_t m_count = 0;          // guarded by m_mutex
};

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
    const std::string name = "std ring";
    registerQueueWorkloads<StdRing>(registry, name);
    registry.add(Workload::Dispatch, name, [] { return dispatchThroughQueue<StdRing>(); });
    registry.add(Workload::TimerLateness, name, [] { return waitUntilLateness(); });
    registry.note("std ring: timers are a thread sleeping in condition_variable::wait_until (no idle-timer "
                  "row: it has no timer facility); dispatch is a worker thread over the ring.");
}

}  // namespace compare
