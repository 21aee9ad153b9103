// order_service: a small service built on halvix, written as a tutorial.
//
// It shows, in order of appearance:
//   1. trace options taken from the command line (-trace, -log, -debug=<domains>),
//      with a trace domain of the service's own ("service") beside the
//      library's ("dbg");
//   2. an application error strategy beside StandardOutStrategy;
//   3. a dispatcher Queue forwarding to a pool of three worker Tasks (least
//      utilized first), fed by a producer thread with macros of several
//      commands, one of which fails and is continued past;
//   4. a repeating Timer owned by a Task, reporting progress every 200 ms on
//      that Task's own thread;
//   5. a macro that hands itself from one Task to another with WriteCommand
//      and resumes there;
//   6. a deliberate bad request (a write to a full queue), announced first,
//      whose report you see;
//   7. every Task terminated cleanly, a short summary, exit status 0; with
//      --dump, the queue and task registries first;
//   8. with --timeline FILE: thread names for the OS, a live snapshot of every
//      Task, Queue and Timer printed as JSON, and the execution timeline of
//      the whole run written to FILE (open it in Perfetto or chrome://tracing,
//      or draw it with tools/timeline_png.py).
//
// Try:  order_service --help
//       order_service                          (warnings only)
//       order_service -trace -debug=service    (the service's own trace lines)
//       order_service -log -debug=service+dbg  (and the library's underneath)
//       order_service --timeline run.json      (snapshot and timeline)
#include <halvix/halvix.h>

#include <atomic>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

using halvix::command::Command;
using halvix::command::Macro;
using halvix::error::Error;
using halvix::queue::Queue;
using halvix::queue::WriteCommand;
using halvix::task::Task;

namespace {

constexpr int ORDERS = 12;
constexpr int BAD_ORDER = 7;  // its validation fails; the macro carries on

std::atomic<int> shipped{0};
std::atomic<int> progressReports{0};
std::mutex printMutex;                 // commands print from several Task threads
std::map<std::string, int> shippedBy;  // per worker; guarded by printMutex
std::string handoffRoute;              // "<prepared on> -> <finished on>"; guarded by printMutex

const char* const USAGE = "usage: order_service [--dump] [--timeline FILE] [--help] [-warn | -trace | -log]\n"
                          "                     [-debug=<domains>]\n"
                          "\n"
                          "A small service on halvix: 12 orders through a pool of three worker Tasks, a\n"
                          "progress timer on a monitor Task, a macro handed from Task to Task and one\n"
                          "deliberate bad request, then a clean shutdown and a summary.\n"
                          "\n"
                          "  --dump            print the queue and task registries before shutting down\n"
                          "  --timeline FILE   name the threads for the OS, print a JSON snapshot of every\n"
                          "                    Task, Queue and Timer, and write the run's execution\n"
                          "                    timeline to FILE (Perfetto, chrome://tracing)\n"
                          "  --help            print this text\n"
                          "  -warn             trace warnings only (the default)\n"
                          "  -trace, -log      trace more: -log prints everything, -trace a little less\n"
                          "  -debug=<domains>  trace only these domains, joined by '+' (default: all)\n"
                          "                      service  this program's own lines\n"
                          "                      dbg      the library's own lines (its OS layer)\n"
                          "\n"
                          "Trace lines go to standard error. For example:\n"
                          "  order_service -trace -debug=service      what the service does\n"
                          "  order_service -log -debug=service+dbg    and what the library does underneath\n";

void say(const std::string& line)
{
    std::lock_guard<std::mutex> lock(printMutex);
    std::cout << line << std::endl;
}

// --- 2. An application error strategy --------------------------------------
// Every Error of the library is routed through the strategies of type "Error"
// before it is thrown or only reported. This one keeps a count per severity;
// the StandardOutStrategy constructed in main keeps the full text printed.
class CountingErrorStrategy : public halvix::strategy::StrategyT<Error>
{
public:
    CountingErrorStrategy() : StrategyT<Error>(Error::STRATEGY_TYPE, "Counting", false) {}
    bool isInterested(const Error&) const override { return true; }
    void processClientObject(Error& error) override
    {
        ++count;
        say("[errors] seen " + error.getName() + " (" + Error::severityToString(error.getSeverity()) + ")");
    }
    std::atomic<int> count{0};
};

// --- 3. Commands: the units of work a macro runs in order ------------------
// execute() returns 0 for success; anything else is a failure.
class ValidateOrder : public Command
{
public:
    explicit ValidateOrder(int number) : Command("ValidateOrder"), order(number) {}

protected:
    int myExecute() override
    {
        if (order == BAD_ORDER) {
            say("order " + std::to_string(order) + ": validation failed on " + Task::getMyName() +
                ", shipping anyway (continue on error)");
            return 1;
        }
        return 0;
    }

private:
    int order;
};

class ShipOrder : public Command
{
public:
    explicit ShipOrder(int number) : Command("ShipOrder"), order(number) {}

protected:
    int myExecute() override
    {
        // Runs on whichever worker the dispatcher chose; trace in our domain.
        DBG_TRACE("service", "order %d shipped by %s", order, Task::getMyName().c_str());
        {
            std::lock_guard<std::mutex> lock(printMutex);
            ++shippedBy[Task::getMyName()];
        }
        ++shipped;
        return 0;
    }

private:
    int order;
};

// One order = one macro: validate, pack (a short sleep), ship. Continue on
// error, auto delete: the worker's loop executes it and it deletes itself.
Macro* orderMacro(int order)
{
    auto* macro = new Macro("order " + std::to_string(order), true, true);
    macro->add(new ValidateOrder(order));
    macro->add(new halvix::command::SleepCommand(100000));  // packing takes 100 ms
    macro->add(new ShipOrder(order));
    return macro;
}

// --- 4. A Task owning a repeating Timer -------------------------------------
// handleTimeout runs on the monitor's own thread, serialised with its other
// work, because the timer delivers into the monitor's event queue.
class ProgressTimer : public halvix::timer::Timer
{
public:
    // A null queue means: the event queue of the Task that constructs me.
    ProgressTimer() : Timer(nullptr, nullptr) {}
    ~ProgressTimer() override { cleanUp(); }  // stop deliveries before this part goes
    void handleTimeout() override
    {
        ++progressReports;
        say("progress (on " + Task::getMyName() + "): " + std::to_string(shipped.load()) + " of " +
            std::to_string(ORDERS) + " orders shipped");
    }
};

class MonitorTask : public Task
{
public:
    MonitorTask() : Task("monitor", nullptr, 32) {}
    ~MonitorTask() override { cleanUp(); }  // terminate our thread while we are whole

protected:
    void initialize() override  // on the monitor's thread
    {
        timer = std::make_unique<ProgressTimer>();
        timer->startRelative(200, 200, nullptr);
    }
    void finalize(const int&) override { timer.reset(); }

private:
    std::unique_ptr<ProgressTimer> timer;
};

// --- 5. A macro that moves from one Task to another -------------------------
class Announce : public Command
{
public:
    explicit Announce(std::string text) : Command("Announce"), what(std::move(text)) {}

protected:
    int myExecute() override
    {
        say("handoff: " + what + " on " + Task::getMyName());
        std::lock_guard<std::mutex> lock(printMutex);
        handoffRoute += (handoffRoute.empty() ? "" : " -> ") + Task::getMyName();
        return 0;
    }

private:
    std::string what;
};

}  // namespace

int main(int argc, char** argv)
{
    // 1. Take -warn/-trace/-log/-debug=... off the command line; what is left
    // are the program's own options.
    _dbg_init(&argc, argv);
    bool dump = false;
    std::string timeline;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--dump") {
            dump = true;
        } else if (option == "--timeline" && i + 1 < argc) {
            timeline = argv[++i];
        } else if (option == "--help" || option == "-h") {
            std::cout << USAGE;
            return 0;
        } else {
            std::cerr << "order_service: unknown option '" << option << "'\n\n" << USAGE;
            return 2;
        }
    }
    say("order_service: " + std::to_string(ORDERS) +
        " orders through three worker Tasks (--help for the options)");
    DBG_TRACE("service", "starting with %d orders", ORDERS);

    // 8. Observation is opt-in: nothing is counted or recorded without it.
    if (!timeline.empty()) {
        halvix::observe::showThreadNames(true);  // for the threads started from here on
        if (!halvix::observe::startTimeline(timeline, 100000)) {
            say("cannot record a timeline into " + timeline);
            return 1;
        }
    }

    CountingErrorStrategy counting;
    halvix::error::StandardOutStrategy printing;

    // 3. The pool: three workers behind one dispatcher queue.
    Queue orders("orders", 8);
    std::unique_ptr<Task> workers[3];
    for (int i = 0; i < 3; ++i) {
        workers[i] = std::make_unique<Task>("worker-" + std::to_string(i + 1), &orders, 8);
        workers[i]->start(nullptr, nullptr, false);
    }
    MonitorTask monitor;
    monitor.start(nullptr, nullptr, false);

    std::thread producer([&orders] {
        // One burst: each macro goes to the worker holding the fewest.
        for (int order = 1; order <= ORDERS; ++order) {
            orders.write(orderMacro(order), -1);  // would wait if every queue were full
        }
    });

    // 5. Prepared on the monitor, finished on worker-1.
    auto* handoff = new Macro("handoff", false, true);
    handoff->add(new Announce("prepared"));
    handoff->add(new WriteCommand(workers[0]->getEventQueuePtr(), handoff, 0));
    handoff->add(new Announce("finished"));
    monitor.getEventQueuePtr()->write(handoff, 0);

    producer.join();
    while (shipped.load() < ORDERS) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    // 6. A bad request, on purpose: a one-slot queue that nobody reads,
    // written twice. The second write fails, and the library reports it
    // through every error strategy before write returns false.
    say("next, on purpose: two macros written to the one-slot queue 'audit' that nobody reads; "
        "expect one QueueWriteError report");
    {
        // The macros outlive the queue: a queue being destroyed looks at the
        // macros still stored in it (it deletes the auto-delete ones).
        Macro first("audit entry 1", false, false), second("audit entry 2", false, false);
        Queue audit("audit", 1);
        audit.write(&first, 0);
        if (!audit.write(&second, 0)) {
            say("bad request refused as expected: the audit queue is full");
        }
    }

    // 7. The registries on request, then a clean shutdown: each
    // terminate(true) queues the request behind the work already queued and
    // waits for the thread.
    if (dump) {
        Queue::outputQueues(std::cout);
        Task::outputTasks(std::cout);
    }
    if (!timeline.empty()) {
        say("snapshot: " + halvix::observe::snapshotJson());
    }
    bool clean = monitor.terminate(true);
    for (auto& worker : workers) {
        worker->removeQueue(&orders);  // a queue leaves every forwarding list before it goes
        clean = worker->terminate(true) && clean;
    }

    std::string spread;
    for (const auto& [worker, count] : shippedBy) {  // every Task has ended: no lock needed
        spread += " " + worker + "=" + std::to_string(count);
    }
    say("summary:");
    say("  orders    all " + std::to_string(shipped.load()) + " shipped (" + spread.substr(1) + "); order " +
        std::to_string(BAD_ORDER) + " failed validation and shipped anyway");
    say("  handoff   " + handoffRoute);
    say("  progress  " + std::to_string(progressReports.load()) + " report(s) from the monitor's timer");
    say("  errors    " + std::to_string(counting.count.load()) + " reported (the bad request)");
    if (!timeline.empty()) {
        // After the Tasks ended: their last macros are in the file too.
        const bool written = halvix::observe::stopTimeline();
        say(written ? "timeline written to " + timeline : "timeline could not be written to " + timeline);
        clean = written && clean;
    }
    say(clean ? "service stopped cleanly" : "service did not stop cleanly");
    return clean ? 0 : 1;
}
