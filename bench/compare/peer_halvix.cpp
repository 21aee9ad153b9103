// halvix itself: the OS message queue for the raw-queue workloads, a Task fed
// through its event Queue for dispatch, and Timers delivered through a Task.
#include "peers.h"
#include "register.h"

#include "common/CyclingMacro.h"
#include "common/FiringTimer.h"
#include "common/OsQueue.h"

#include <halvix/command/Macro.h>
#include <halvix/queue/Queue.h>
#include <halvix/queue/WriteCommand.h>
#include <halvix/task/Task.h>

#include <memory>

namespace compare {
namespace {

using bench::CyclingMacro;
using bench::FiringTimer;
using bench::OsQueue;
using halvix::command::Macro;
using halvix::queue::Queue;
using halvix::task::Task;

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
    registry.add(Workload::Dispatch, HALVIX, taskRoundTrip);
    registerTimerWorkloads(registry, HALVIX, timerLateness, idleTimers);
    registry.note("halvix: raw-queue rows use os::osQueue*; dispatch is a Macro posted to a Task's event "
                  "Queue that writes its answer to a reply Queue; timers are timer::Timer delivered through "
                  "a Task.");
}

}  // namespace compare
