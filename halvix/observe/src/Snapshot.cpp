// snapshotJson: the registries copied a slice at a time, then written as JSON
// without any lock.
#include "halvix/observe/Observe.h"

#include "halvix/observe/src/Json.h"
#include "halvix/observe/src/Switch.h"
#include "halvix/queue/Queue.h"
#include "halvix/src/ObserverHooks.h"
#include "halvix/task/Task.h"
#include "halvix/timer/Timer.h"

#include <unistd.h>

#include <vector>

namespace halvix::observe {

namespace {

// Entries copied per hold of a registry's lock: a few microseconds of
// copying, after which Tasks and deliveries waiting for the lock get it.
constexpr std::size_t SLICE = 256;

// Every entry of a registry, copied SLICE at a time: copy(after, limit, out)
// appends the entries after key `after` (from the first when null).
template <typename Facts, typename Key, typename Copy, typename KeyOf>
std::vector<Facts> copyAll(Copy copy, KeyOf keyOf)
{
    std::vector<Facts> all;
    Key last{};
    bool started = false;
    while (copy(started ? &last : nullptr, SLICE, all) == SLICE) {
        last = keyOf(all.back());  // the next slice starts after it, whatever left meanwhile
        started = true;
    }
    return all;
}

const char* taskStateName(task::Task::State state)
{
    switch (state) {
    case task::Task::RUNNING:
        return "RUNNING";
    case task::Task::WAITING_TO_TERMINATE:
        return "WAITING_TO_TERMINATE";
    default:
        return "NOT_RUNNING";
    }
}

const char* timerStateName(int state)
{
    switch (state) {
    case timer::Timer::RUNNING:
        return "RUNNING";
    case timer::Timer::EXPIRED:
        return "EXPIRED";
    default:
        return "STOPPED";
    }
}

void appendTask(std::string& out, const task::Task::Facts& facts, int64_t now, const detail::TickScale& scale)
{
    out += '{';
    appendKey(out, "name");
    appendJsonString(out, facts.name);
    out += ',';
    appendKey(out, "state");
    appendJsonString(out, taskStateName(facts.state));
    out += ',';
    appendKey(out, "eventQueue");
    appendJsonString(out, facts.eventQueue);
    out += ',';
    appendKey(out, "depth");
    appendNumber(out, uint64_t{facts.depth});
    out += ',';
    appendKey(out, "maxDepth");
    appendNumber(out, facts.maxDepth);
    out += ',';
    appendKey(out, "executed");
    appendNumber(out, facts.executed);
    out += ',';
    appendKey(out, "failed");
    appendNumber(out, facts.failed);
    out += ',';
    appendKey(out, "current");
    if (facts.busy) {
        out += '{';
        appendKey(out, "macro");
        appendJsonString(out, facts.current);
        out += ',';
        appendKey(out, "runningUs");
        appendNumber(out, scale.toNs(now > facts.currentStart ? now - facts.currentStart : 0) / 1000);
        out += '}';
    } else {
        out += "null";
    }
    out += '}';
}

void appendQueue(std::string& out, const queue::Queue::Facts& facts)
{
    out += '{';
    appendKey(out, "name");
    appendJsonString(out, facts.name);
    out += ',';
    appendKey(out, "size");
    appendNumber(out, uint64_t{facts.size});
    out += ',';
    appendKey(out, "maxMacros");
    appendNumber(out, uint64_t{facts.maxMacros});
    out += ',';
    appendKey(out, "highWater");
    appendNumber(out, facts.highWater);
    out += ',';
    appendKey(out, "written");
    appendNumber(out, facts.written);
    out += ',';
    appendKey(out, "forwardsTo");
    out += '[';
    for (std::size_t i = 0; i < facts.forwardsTo.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        appendJsonString(out, facts.forwardsTo[i]);
    }
    out += "]}";
}

void appendTimer(std::string& out, const timer::Timer::Facts& facts)
{
    out += '{';
    appendKey(out, "id");
    appendNumber(out, uint64_t{facts.id});
    out += ',';
    appendKey(out, "queue");
    appendJsonString(out, facts.queue);
    out += ',';
    appendKey(out, "state");
    appendJsonString(out, timerStateName(facts.state));
    out += ',';
    appendKey(out, "repeatMs");
    appendNumber(out, uint64_t{facts.repeatMs});
    out += ',';
    appendKey(out, "fired");
    appendNumber(out, facts.fired);
    out += ',';
    appendKey(out, "lateLastUs");
    appendNumber(out, facts.lateLastUs);
    out += ',';
    appendKey(out, "lateMaxUs");
    appendNumber(out, facts.lateMaxUs);
    out += ',';
    appendKey(out, "lateP50Us");
    appendNumber(out, facts.lateP50Us);
    out += ',';
    appendKey(out, "overruns");
    appendNumber(out, facts.overruns);
    out += '}';
}

// Appends `"key":[...]` with each entry written by `append`.
template <typename Facts, typename Append>
void appendList(std::string& out, const char* key, const std::vector<Facts>& entries, Append append)
{
    appendKey(out, key);
    out += '[';
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        append(out, entries[i]);
    }
    out += ']';
}

}  // namespace

std::string snapshotJson()
{
    startCounting();
    using queue::Queue;
    using task::Task;
    using timer::Timer;
    const auto tasks =
        copyAll<Task::Facts, std::string>(Task::copyFacts, [](const Task::Facts& f) { return f.name; });
    const auto queues =
        copyAll<Queue::Facts, std::string>(Queue::copyFacts, [](const Queue::Facts& f) { return f.name; });
    const auto timers =
        copyAll<Timer::Facts, unsigned int>(Timer::copyFacts, [](const Timer::Facts& f) { return f.id; });
    const int64_t nowNs = queue::internal::monotonicNowNs();
    const int64_t now = detail::nowTicks();
    const detail::TickScale scale;

    std::string out;
    out.reserve(256 + 200 * (tasks.size() + queues.size() + timers.size()));
    out += '{';
    appendKey(out, "pid");
    appendNumber(out, int64_t{getpid()});
    out += ',';
    appendKey(out, "uptimeUs");
    appendNumber(out, (nowNs - detail::countingSinceNs()) / 1000);
    out += ',';
    appendList(out, "tasks", tasks, [now, &scale](std::string& text, const Task::Facts& facts) {
        appendTask(text, facts, now, scale);
    });
    out += ',';
    appendList(out, "queues", queues, appendQueue);
    out += ',';
    appendList(out, "timers", timers, appendTimer);
    out += "}\n";
    return out;
}

}  // namespace halvix::observe
