// halvix itself: the OS message queue for the raw-queue workloads, a Task fed
// through its event Queue for dispatch, and Timers delivered through a Task.
#include "peers.h"
#include "register.h"

#include <halvix/command/Macro.h>
#include <halvix/os/osQueue.h>
#include <halvix/queue/Queue.h>
#include <halvix/queue/WriteCommand.h>
#include <halvix/task/Task.h>
#include <halvix/timer/Timer.h>

#include <memory>

namespace compare {
namespace {

using halvix::command::Macro;
using halvix::queue::Queue;
using halvix::task::Task;

class OsQueue
{
public:
    explicit OsQueue(int slots) : m_queue(halvix::os::osQueueCreate(slots)) {}
    ~OsQueue() { halvix::os::osQueueDestroy(m_queue); }
    OsQueue(const OsQueue&) = delete;
    OsQueue& operator=(const OsQueue&) = delete;

    void push(void* message) { halvix::os::osQueueWrite(m_queue, message, -1); }
    void* pop()
    {
        void* message = nullptr;
        halvix::os::osQueueRead(m_queue, &message, -1);
        return message;
    }

private:
    void* m_queue;
};

// Rewinds itself at the end of each run on the Task's thread, so the caller
// can post it again as soon as its answer arrived, touching only the pointer.
class CyclingMacro : public Macro
{
public:
    explicit CyclingMacro(const std::string& name) : Macro(name, false, false) {}

protected:
    int myExecute() override
    {
        const int result = Macro::myExecute();
        reset();
        return result;
    }
};

// The caller posts a macro to the Task's event queue; executing it writes an
// answer macro to the caller's reply Queue.
Measurement taskRoundTrip()
{
    Task task("compare-dispatch", nullptr, SLOTS);
    Queue replies("compare-dispatch-replies", SLOTS);
    Macro answer("answer", false, false);  // carried back, never executed
    CyclingMacro request("request");
    request.add(new halvix::queue::WriteCommand(&replies, &answer, -1));
    task.start(nullptr, nullptr, false);
    Queue* events = task.getEventQueuePtr();
    auto samples = sampleRoundTrips([events, &replies, &request] {
        events->write(&request, -1);
        Macro* reply = nullptr;
        replies.read(reply, -1);
    });
    task.terminate(true);
    return latencies(std::move(samples), Metric::DispatchMedian, Metric::DispatchP99);
}

class FiringTimer : public halvix::timer::Timer
{
public:
    explicit FiringTimer(Queue* queue) : Timer(queue, nullptr) {}
    ~FiringTimer() override { cleanUp(); }
    // Set by the arming thread before the start; the start and the delivery
    // through the queue order it before handleTimeout reads it.
    std::function<void()> fire;
    void handleTimeout() override { fire(); }
};

Measurement timerLateness()
{
    Task consumer("compare-timer-consumer", nullptr, 16);
    consumer.start(nullptr, nullptr, false);
    std::vector<double> samples;
    {
        FiringTimer timer(consumer.getEventQueuePtr());
        samples = sampleLateness([&timer](std::function<void()> fire) {
            timer.fire = std::move(fire);
            timer.startRelative(static_cast<unsigned>(TIMER_DELAY.count()), 0, nullptr);
        });
    }
    consumer.terminate(true);
    return lateness(std::move(samples));
}

Measurement idleTimers()
{
    return idleTimerCost([] {
        auto* queue = new Queue("compare-idle-timers", 4);  // never read: the timers never fire
        return std::function<void()>([queue] {
            for (int i = 0; i < IDLE_TIMERS; ++i) {
                auto* timer = new FiringTimer(queue);
                timer->startRelative(3600 * 1000, 0, nullptr);
            }
        });
    });
}

}  // namespace

void registerHalvix(Registry& registry)
{
    registerQueueWorkloads<OsQueue>(registry, HALVIX);
    registry.add(Workload::Dispatch, HALVIX, [] { return taskRoundTrip(); });
    registry.add(Workload::TimerLateness, HALVIX, [] { return timerLateness(); });
    registry.add(Workload::IdleTimerCost, HALVIX, [] { return idleTimers(); });
    registry.note("halvix: raw-queue rows use os::osQueue*; dispatch is a Macro posted to a Task's event "
                  "Queue that writes its answer to a reply Queue; timers are timer::Timer delivered through "
                  "a Task.");
}

}  // namespace compare
