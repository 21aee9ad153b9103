// A short life of a service, run under valgrind's memcheck: two worker Tasks
// behind a forwarding queue, a third Task whose repeating Timer delivers into
// its own event queue, all started, used and torn down in the documented
// order. Every object the library allocates on the way (macros, commands,
// OS tasks and timers, registry entries) must be freed again: memcheck
// counts any block that is definitely or indirectly lost as an error.
//
// Exits 0 when every macro ran, the timer fired and every Task stopped cleanly.
#include <halvix/halvix.h>

#include <atomic>
#include <chrono>
#include <future>
#include <iostream>
#include <memory>
#include <string>

using halvix::command::Command;
using halvix::command::Macro;
using halvix::queue::Queue;
using halvix::task::Task;

namespace {

constexpr int JOBS = 20;
constexpr int TICKS = 3;
// Generous: valgrind runs the program tens of times slower than native.
constexpr auto PATIENCE = std::chrono::seconds(60);

// Counts its runs and opens the gate at the last expected one.
class CountingCommand : public Command
{
public:
    CountingCommand(std::atomic<int>& count, int last, std::promise<void>& done)
        : Command("CountingCommand"), count(count), last(last), done(done)
    {
    }

protected:
    int myExecute() override
    {
        if (count.fetch_add(1, std::memory_order_relaxed) + 1 == last) {
            done.set_value();
        }
        return 0;
    }

private:
    std::atomic<int>& count;
    int last;
    std::promise<void>& done;
};

class TickTimer : public halvix::timer::Timer
{
public:
    explicit TickTimer(Queue* queue) : Timer(queue, nullptr) {}
    ~TickTimer() override { cleanUp(); }  // no delivery may reach a half-destroyed timer
    void handleTimeout() override
    {
        // Only the owning Task's thread runs this, so a plain count would do;
        // the atomic keeps the reader in main honest.
        if (ticks.fetch_add(1, std::memory_order_relaxed) + 1 == TICKS) {
            enoughTicks.set_value();
        }
    }
    std::atomic<int> ticks{0};
    std::promise<void> enoughTicks;
};

bool runService()
{
    Queue dispatcher("leaks-dispatcher", 8);
    Task first("leaks-worker-1", &dispatcher, 8);
    Task second("leaks-worker-2", &dispatcher, 8);
    Task clock("leaks-clock", nullptr, 8);
    bool ok = first.start(nullptr, nullptr, false) && second.start(nullptr, nullptr, false) &&
              clock.start(nullptr, nullptr, false);

    auto timer = std::make_unique<TickTimer>(clock.getEventQueuePtr());
    ok = timer->startRelative(10, 10, nullptr) && ok;

    // Each job is an auto-delete macro: the worker that runs it deletes it.
    std::atomic<int> jobsDone{0};
    std::promise<void> allJobsDone;
    for (int job = 0; job < JOBS; ++job) {
        auto* macro = new Macro("job " + std::to_string(job), false, true);
        macro->add(new CountingCommand(jobsDone, JOBS, allJobsDone));
        ok = dispatcher.write(macro, -1) && ok;
    }

    ok = allJobsDone.get_future().wait_for(PATIENCE) == std::future_status::ready && ok;
    ok = timer->enoughTicks.get_future().wait_for(PATIENCE) == std::future_status::ready && ok;

    // Teardown: the timer goes while its consumer still runs (the consumer
    // deletes the timer's macro), then the workers leave the dispatcher's
    // forwarding list and stop, then everything is destroyed.
    timer.reset();
    ok = clock.terminate(true) && ok;
    for (Task* worker : {&first, &second}) {
        worker->removeQueue(&dispatcher);
        ok = worker->terminate(true) && ok;
    }
    std::cout << "jobs done: " << jobsDone.load() << " of " << JOBS << std::endl;
    return ok && jobsDone.load() == JOBS;
}

}  // namespace

int main()
{
    // Twice, so that a second start of the same names finds the registries
    // and the OS layer's bookkeeping properly emptied by the first teardown.
    const bool ok = runService() && runService();
    std::cout << (ok ? "service started and stopped cleanly, twice" : "service did not stop cleanly")
              << std::endl;
    return ok ? 0 : 1;
}
