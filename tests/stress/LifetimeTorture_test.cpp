// The torture test of object lifetimes: four threads, for a bounded time,
// create, start, terminate (waiting and not), restart and destroy Tasks
// (plain and auto-delete, some behind a shared pool queue), create and
// destroy forwarding queues, and start, stop, restart and destroy timers
// (one-shot and repeating, some delivered through the pool to several
// workers) whose handlers stop timers too, while macros flow everywhere.
//
// Invariants: every macro written is executed once or deleted once; no
// handleTimeout runs after stop() returned on the controlling thread, nor on
// a destroyed timer; no start of a stopped timer is refused, and after the
// churn every timer that is left still delivers; nothing leaks
// (AddressSanitizer). A watchdog prints where each thread is and stops the
// process instead of letting CI hang.
#include <halvix/task/Task.h>

#include "StressSupport.h"
#include "common/ErrorRecorder.h"
#include "timer/TimerTestSupport.h"

#include <halvix/command/Macro.h>
#include <halvix/os/osTask.h>
#include <halvix/queue/Queue.h>
#include <halvix/timer/Timer.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using halvix::command::Macro;
using halvix::queue::Queue;
using halvix::task::Task;
using halvix::timer::Timer;
using namespace halvix::test;

constexpr int kThreads = 4;
constexpr long kMaxMacros = 4000000;

// Per macro id: how often it was executed and destroyed.
struct Ledger
{
    std::vector<std::atomic<uint8_t>> executed = std::vector<std::atomic<uint8_t>>(kMaxMacros);
    std::vector<std::atomic<uint8_t>> destroyed = std::vector<std::atomic<uint8_t>>(kMaxMacros);
    std::atomic<long> issued{0};
};

Ledger* ledger = nullptr;  // the test's, for the macros below

class TrackedMacro : public Macro
{
public:
    explicit TrackedMacro(long macroId) : Macro("tracked", false, true), id(macroId)
    {
        add(new FunctionCommand(
            [macroId] { ledger->executed[macroId].fetch_add(1, std::memory_order_relaxed); }));
    }
    ~TrackedMacro() override { ledger->destroyed[id].fetch_add(1, std::memory_order_relaxed); }

private:
    long id;
};

// Writes one tracked macro; a refused one stays the writer's, who deletes it.
void send(Queue* queue, int timeout)
{
    const long id = ledger->issued.fetch_add(1, std::memory_order_relaxed);
    if (id >= kMaxMacros) {
        return;
    }
    auto* macro = new TrackedMacro(id);
    if (!queue->write(macro, timeout)) {
        delete macro;
    }
}

struct TimerFaults
{
    std::atomic<long> afterStop{0};
    std::atomic<long> onDestroyed{0};
    std::atomic<long> timeouts{0};
    std::atomic<long> refusedStarts{0};
};

// `stopped` is set by the controlling thread once its stop() returned and
// cleared before its next start: a handler that sees it ran too late. The
// handler stops its own timer now and then.
class TortureTimer : public Timer
{
public:
    static constexpr uint32_t kAlive = 0x1ee7;

    TortureTimer(Queue* queue, TimerFaults& tally) : Timer(queue, nullptr), faults(tally) {}
    ~TortureTimer() override
    {
        cleanUp();
        alive.store(0);
    }
    void handleTimeout() override
    {
        faults.afterStop.fetch_add(stopped.load() ? 1 : 0);
        faults.onDestroyed.fetch_add(alive.load() == kAlive ? 0 : 1);
        deliveries.fetch_add(1);
        if (faults.timeouts.fetch_add(1) % 8 == 0 && getState() != STOPPED) {
            stop();
        }
    }
    std::atomic<bool> stopped{true};
    std::atomic<uint32_t> alive{kAlive};
    std::atomic<int> deliveries{0};  // reset only while no delivery can run

private:
    TimerFaults& faults;
};

// A handler that stops the other timer of a pair, or restarts it, until `quiet`.
std::function<void()> toggle(std::unique_ptr<CountingTimer>& other, const std::atomic<bool>& quiet)
{
    return [&other, &quiet] {
        if (quiet.load()) {
            return;
        }
        if (other->getState() == Timer::RUNNING) {
            other->stop();
        } else {
            other->startRelative(1, 1, nullptr);
        }
    };
}

// Where each thread is, for the watchdog's report.
std::array<std::atomic<const char*>, kThreads + 1> where;

// Fails the run, with a report of where every thread is, if it is not done
// within its bound.
class Watchdog
{
public:
    explicit Watchdog(std::chrono::seconds bound)
        : thread([this, bound] {
              std::unique_lock<std::mutex> lock(mutex);
              if (!finished.wait_for(lock, bound, [this] { return done; })) {
                  std::fprintf(stderr, "torture test still running after %lld s:\n",
                               static_cast<long long>(bound.count()));
                  for (int t = 0; t <= kThreads; ++t) {
                      std::fprintf(stderr, "  thread %d: %s\n", t, where[t].load());
                  }
                  std::fflush(stderr);
                  std::abort();
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        finished.notify_all();
        thread.join();
    }

private:
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread thread;
};

struct Shared
{
    Queue* pool;    // forwards to the pool workers that come and go
    Queue* steady;  // a consumer that stays
    TimerFaults faults;
};

// One thread's random work until the deadline.
class Torturer
{
public:
    Torturer(int threadIndex, Shared& objects)
        : index(threadIndex), random(1000 + threadIndex), shared(objects)
    {
    }

    void run(Clock::time_point deadline)
    {
        for (long step = 0; Clock::now() < deadline; ++step) {
            switch (random() % 6) {
            case 0:
                plainTask(step);
                break;
            case 1:
                autoDeleteTask(step);
                break;
            case 2:
                forwardingQueue(step);
                break;
            case 3:
                poolWorker(step);
                break;
            default:
                timers();
                break;
            }
            at("writing to the pool");
            send(shared.pool, static_cast<int>(random() % 2) - 1);  // -1 or 0
        }
        at("destroying its workers");
        workers.clear();
        at("done");
    }

    // Stops this thread's timers once the churn is over, then gives each one
    // one-shot start; allDelivered() tells whether every one arrived.
    void armOnceAfterTheChurn()
    {
        for (auto& timer : myTimers) {
            if (timer) {
                timer->stop();
                timer->deliveries.store(0);
                timer->stopped.store(false);
                shared.faults.refusedStarts.fetch_add(timer->startRelative(1, 0, nullptr) ? 0 : 1);
            }
        }
    }
    bool allDelivered() const
    {
        return std::all_of(myTimers.begin(), myTimers.end(),
                           [](const auto& timer) { return !timer || timer->deliveries.load() > 0; });
    }

private:
    void at(const char* what) { where[index].store(what); }
    std::string name(const char* kind, long step) const
    {
        return std::string(kind) + "-" + std::to_string(index) + "-" + std::to_string(step);
    }

    void plainTask(long step)
    {
        at("plain task: create and start");
        Task task(name("plain", step), nullptr, 1 + random() % 8);
        for (int run = 0; run < 2; ++run) {
            task.start(nullptr, nullptr, false);
            at("plain task: writing");
            for (int i = 0, n = static_cast<int>(random() % 12); i < n; ++i) {
                send(task.getEventQueuePtr(), random() % 3 == 0 ? -1 : 0);
            }
            at("plain task: terminate");
            if (random() % 3 == 0) {
                task.terminate(false);  // the destructor or the next start joins
                eventually([&task] { return !task.isThreadOfExecutionRunning(); },
                           std::chrono::milliseconds(random() % 2 == 0 ? 0 : 20));
            } else {
                task.terminate(true);
            }
            if (task.isThreadOfExecutionRunning()) {
                break;  // refused (full queue) or still ending: the destructor ends it
            }
        }
        at("plain task: destroy");
    }

    void autoDeleteTask(long step)
    {
        at("auto-delete task: create and start");
        auto* task = new Task(name("auto", step), nullptr, 16);
        task->start(nullptr, nullptr, true);
        at("auto-delete task: writing");
        for (int i = 0, n = static_cast<int>(random() % 8); i < n; ++i) {
            send(task->getEventQueuePtr(), 0);
        }
        // Either way the Task may read the request, end and delete itself and
        // its event queue while the write that carried the request is still
        // on its way out: nothing may touch the Task once the write is done.
        if (random() % 2 == 0) {
            at("auto-delete task: terminate(false) from this thread");
            while (!task->terminate(false)) {  // refused: the Task still runs
                std::this_thread::yield();
            }
            return;
        }
        at("auto-delete task: a macro ends it from its own thread");
        // Ends the Task it runs on, waiting or not (a wait from its own
        // thread is refused, but the request is queued).
        Macro* ender = macroOf("ender", [task, wait = random() % 2 == 0] { task->terminate(wait); });
        if (!task->getEventQueuePtr()->write(ender, 0)) {
            delete ender;
            while (!task->terminate(false)) {
                std::this_thread::yield();
            }
        }
    }

    void forwardingQueue(long step)
    {
        at("forwarding queue: create");
        Queue front(name("front", step), 4);
        Queue* targets[] = {shared.pool,
                            workers.empty() ? shared.steady : workers.back()->getEventQueuePtr()};
        front.startForwardingTo(targets[random() % 2]);
        if (random() % 2 == 0) {
            front.startForwardingTo(shared.steady);
        }
        at("forwarding queue: writing");
        for (int i = 0, n = static_cast<int>(random() % 16); i < n; ++i) {
            send(&front, 0);
        }
        at("forwarding queue: destroy");
    }

    void poolWorker(long step)
    {
        if (workers.size() < 2 && random() % 2 == 0) {
            at("pool worker: create and start");
            workers.push_back(std::make_unique<Task>(name("worker", step), shared.pool, 8));
            workers.back()->start(nullptr, nullptr, false);
        } else if (!workers.empty()) {
            at("pool worker: destroy while the pool is written");
            workers.erase(workers.begin() + static_cast<long>(random() % workers.size()));
        }
    }

    void timers()
    {
        auto& timer = myTimers[random() % myTimers.size()];
        if (!timer) {
            at("timer: create");
            timer = std::make_unique<TortureTimer>(random() % 2 == 0 ? shared.pool : shared.steady,
                                                   shared.faults);
        }
        switch (random() % 4) {
        case 0:
            at("timer: start");
            if (timer->getState() != Timer::RUNNING) {
                timer->stopped.store(false);
                const bool started = timer->startRelative(static_cast<unsigned>(random() % 3),
                                                          static_cast<unsigned>(random() % 3), nullptr);
                shared.faults.refusedStarts.fetch_add(started ? 0 : 1);
            }
            break;
        case 1:
        case 2:
            at("timer: stop");
            if (timer->getState() != Timer::STOPPED) {
                timer->stop();
            }
            timer->stopped.store(true);  // also after its own handler stopped it
            break;
        default:
            at("timer: destroy");
            timer.reset();
            break;
        }
    }

    int index;
    std::mt19937 random;
    Shared& shared;
    std::vector<std::unique_ptr<Task>> workers;
    std::array<std::unique_ptr<TortureTimer>, 3> myTimers;
};

TEST(LifetimeTorture, TasksQueuesAndTimersComeAndGoWhileMacrosFlow)
{
    const auto duration = std::chrono::milliseconds(scaled(3000, 2000, 1500));
    Watchdog watchdog(std::chrono::seconds(90));
    halvix::test::ErrorRecorder errors;  // refused writes, requests and stops are expected here
    Volume volume("lifetime torture");
    auto owned = std::make_unique<Ledger>();
    ledger = owned.get();
    for (auto& place : where) {
        place.store("not started");
    }
    where[kThreads].store("main: setting up");

    auto pool = std::make_unique<Queue>("torture-pool", 16);
    auto steady = std::make_unique<Task>("torture-steady", nullptr, 64);
    auto siblingConsumer = std::make_unique<Task>("torture-sibling", nullptr, 16);
    // The steady consumer also works behind the pool, so the pool always
    // forwards and never keeps a timer's macro where nobody reads it.
    steady->addQueue(pool.get());
    steady->start(nullptr, nullptr, false);
    siblingConsumer->start(nullptr, nullptr, false);
    Shared shared{pool.get(), steady->getEventQueuePtr(), {}};
    // Two timers on two consumers whose handlers stop or restart each other.
    std::atomic<bool> quiet{false};  // set before the pair is stopped for good
    std::unique_ptr<CountingTimer> left, right;
    left = std::make_unique<CountingTimer>(steady->getEventQueuePtr(), toggle(right, quiet));
    right = std::make_unique<CountingTimer>(siblingConsumer->getEventQueuePtr(), toggle(left, quiet));
    left->startRelative(1, 1, nullptr);

    const auto deadline = Clock::now() + duration;
    std::vector<std::unique_ptr<Torturer>> torturers;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        torturers.push_back(std::make_unique<Torturer>(t, shared));
        threads.emplace_back([torturer = torturers.back().get(), deadline] {
            torturer->run(deadline);
            halvix::os::osTaskDetach();  // the record the library gave this thread
        });
    }
    where[kThreads].store("main: joining the threads");
    for (auto& thread : threads) {
        thread.join();
    }
    where[kThreads].store("main: checking that every timer left still delivers");
    const long churnTimeouts = shared.faults.timeouts.load();
    for (auto& torturer : torturers) {
        torturer->armOnceAfterTheChurn();
    }
    for (auto& torturer : torturers) {
        EXPECT_TRUE(eventually([&] { return torturer->allDelivered(); })) << "a timer no longer delivers";
    }
    torturers.clear();  // destroys their timers
    where[kThreads].store("main: tearing down");
    // Handlers restart each other: silence them, then stop both (each stop
    // waits for its running delivery) before either goes.
    quiet.store(true);
    for (CountingTimer* sibling : {left.get(), right.get()}) {
        if (sibling->getState() != Timer::STOPPED) {
            sibling->stop();
        }
    }
    left.reset();
    right.reset();
    siblingConsumer.reset();
    steady.reset();
    pool.reset();  // deletes what it stored while it had no worker
    where[kThreads].store("main: checking");

    const long issued = std::min(ledger->issued.load(), kMaxMacros);
    long executed = 0;
    long wrong = 0;
    for (long id = 0; id < issued; ++id) {
        const int runs = ledger->executed[id].load();
        executed += runs;
        wrong += (runs > 1 || ledger->destroyed[id].load() != 1) ? 1 : 0;
    }
    EXPECT_EQ(wrong, 0) << "macros executed more than once, or not destroyed exactly once";
    EXPECT_EQ(shared.faults.afterStop.load(), 0);
    EXPECT_EQ(shared.faults.onDestroyed.load(), 0);
    EXPECT_GT(executed, 0);
    EXPECT_EQ(shared.faults.refusedStarts.load(), 0);
    EXPECT_GT(churnTimeouts, 0);
    volume.report(issued, "macros");
    ledger = nullptr;
}

}  // namespace
