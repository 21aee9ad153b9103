// POCO: NotificationQueue for the raw-queue workloads and for a worker thread
// (its documented active-worker pattern), and Util::Timer for timers.
#include "peers.h"
#include "register.h"

#include <Poco/AutoPtr.h>
#include <Poco/Clock.h>
#include <Poco/Notification.h>
#include <Poco/NotificationQueue.h>
#include <Poco/Util/Timer.h>
#include <Poco/Util/TimerTask.h>

namespace compare {
namespace {

class Message : public Poco::Notification
{
public:
    explicit Message(void* message) : value(message) {}
    void* const value;
};

// NotificationQueue is unbounded: `slots` is not enforced, and every message
// is a reference-counted Notification allocated by the writer.
class PocoQueue
{
public:
    explicit PocoQueue(int /*slots*/) {}
    void push(void* message) { m_queue.enqueueNotification(new Message(message)); }
    void* pop()
    {
        Poco::AutoPtr<Poco::Notification> taken(m_queue.waitDequeueNotification());
        return static_cast<Message*>(taken.get())->value;
    }

private:
    Poco::NotificationQueue m_queue;
};

class FireTask : public Poco::Util::TimerTask
{
public:
    explicit FireTask(std::function<void()> fire) : m_fire(std::move(fire)) {}
    void run() override { m_fire(); }

private:
    std::function<void()> m_fire;
};

// Poco::Clock is the monotonic clock, like the clock of the measurement.
Measurement timerLateness()
{
    Poco::Util::Timer timer;
    auto samples = sampleLateness([&timer](std::function<void()> fire) {
        Poco::Clock deadline;
        deadline += std::chrono::duration_cast<std::chrono::microseconds>(TIMER_DELAY).count();
        timer.schedule(new FireTask(std::move(fire)), deadline);
    });
    return lateness(std::move(samples));
}

Measurement idleTimers()
{
    return idleTimerCost([] {
        auto* timer = new Poco::Util::Timer();
        return std::function<void()>([timer] {
            for (int i = 0; i < IDLE_TIMERS; ++i) {
                Poco::Clock deadline;
                deadline += Poco::Clock::ClockDiff(3600) * 1000000;
                timer->schedule(new FireTask([] {}), deadline);
            }
        });
    });
}

}  // namespace

void registerPoco(Registry& registry)
{
    registerQueueAndWorker<PocoQueue>(registry, "POCO");
    registerTimerWorkloads(registry, "POCO", timerLateness, idleTimers);
    registry.note("POCO: NotificationQueue is unbounded (no back-pressure) and allocates a Notification per "
                  "message; dispatch is a worker thread over it; timers are Util::Timer (one thread).");
}

}  // namespace compare
