// halvix/task/Task.h - named active objects with an event loop.
//
// A Task owns one event queue of macros, named name + "-TaskEventQueue", and,
// once started, one thread of execution that reads macros from that queue and
// executes them, one at a time and in queue order, until a termination
// request arrives. Applications send a Task work by writing macros to its
// event queue (getEventQueuePtr), or to queues that forward to it (addQueue:
// several Tasks behind one forwarding queue form a pool of workers).
// Applications derive from Task to add start-up and shut-down work
// (initialize, finalize) or to replace the loop (run).
//
// Every Task is registered under its unique name in the process-wide Task
// Collection from the end of its construction to the start of its
// destruction: getTaskPtr finds a Task by name, and getTaskPtr("") finds the
// Task whose thread calls it.
//
// The thread (staticGo, go, run):
//   - runs initialize(), then run(arg), then finalize(exitStatus), always,
//     also after initialize or run failed;
//   - turns every exception escaping initialize, run or finalize into one
//     "TaskError" report of severity CRITICAL; an exception from initialize or
//     run makes the exit status FAILURE (1) and skips what is left of them, an
//     exception from finalize leaves the exit status as it was;
//   - the default run ends with SUCCESSFUL (0) when it reads a termination
//     request (which it deletes without executing) and with FAILURE when the
//     event queue cannot be read;
//   - the default run executes each macro and never deletes one: a macro
//     with auto-delete deletes itself at the end of its run, and one without
//     stays with its writer, who deletes it (or writes it again after
//     reset()) once it can no longer be queued or running. A macro whose
//     command throws is not deleted either, even with auto-delete: the
//     exception ends the loop and the macro stays with whoever holds it;
//   - ends by marking the Task NOT_RUNNING with its exit status and, for a
//     Task started with autoDelete, by deleting the Task.
//
// States: NOT_RUNNING (never started, or finished), RUNNING (start created
// the thread), WAITING_TO_TERMINATE (a termination request is queued and the
// thread has not ended). A Task counts as running in every state but
// NOT_RUNNING. A finished Task may be started again.
//
// Failures are reported through the "Error" strategies (halvix/error): a
// duplicate name (found first by the event queue's own registry) and a null
// queue are thrown; a call in the wrong state is reported as "WrongTaskState"
// and answered with false; a termination request that cannot be queued is
// reported as "TaskError" and answered with false.
//
// Shutdown order, for a Task started without autoDelete:
//   1. terminate(true): the request is queued behind the work already in the
//      event queue, so that work is still done; the call returns once the
//      thread has ended. terminate(false) only queues the request; its end
//      then shows in isThreadOfExecutionRunning() (join() joins only a Task
//      that still counts as running, so it cannot wait for a thread that may
//      already have ended).
//   2. A derived Task whose hooks use members of its own must do step 1 in
//      its own destructor: ~Task stops a running thread too, but only after
//      the derived part is gone.
//   3. Stop the writers of the event queue itself before the Task is
//      destroyed. Destroying a Task first makes every queue that forwards to
//      it stop (writers of a pool queue may go on: their macros go to the
//      other Tasks), then terminates a running Task and waits for its thread
//      before the event queue goes away; auto-delete macros still queued are
//      then deleted, others are left to their owners. A Task is destroyed
//      by a controlling thread, never from a macro on its own thread (only an
//      autoDelete Task deletes itself, after its loop has ended).
//
// Inputs that stop the process (assertions of the OS layer beneath, as
// broken preconditions; README.md, Pitfalls, lists them for every module):
//   - a capacity (maxMacros) of 0, or above 2147483647, as for a Queue;
//   - start() with options whose stacksize is below -1; under a real-time
//     task policy, options whose priority lies outside
//     0..os::osTaskGetMaxPriority(), or a process that may not create
//     real-time threads;
//   - setPriority() outside 0..os::osTaskGetMaxPriority(): under the default
//     time-sharing policy the only valid priority is 0;
//   - setSchedulingPolicy() with an unknown policy code, or a real-time
//     policy in a process that may not use one.
//
// A macro on the Task's thread that writes to the Task's own event queue
// with time-out -1 while the queue is full would wait for itself for ever:
// the write fails at once instead (reported as a failed write, false).
// A Task started with autoDelete belongs to its thread: it deletes itself
// when the thread ends, so once a termination request may have reached it no
// other thread may touch it, and the application never deletes it. Work
// reaches such a Task only through queues.
//
// Concurrency:
//   - Task operations are meant for one controlling thread at a time, plus
//     the Task's own thread; start, terminate, join and the destructor must
//     not overlap one another on the same Task.
//   - The Task Collection has a lock of its own: Tasks may be constructed,
//     destroyed and looked up from several threads at once (a Task found with
//     getTaskPtr must still outlive its use).
//   - state and exit status are atomic words: the thread writes the exit
//     status and then NOT_RUNNING with release ordering, and
//     isThreadOfExecutionRunning() reads with acquire, so a thread that sees
//     the Task not running also sees its exit status and everything its
//     thread did. join() and terminate(true) order the same way through the
//     OS join.
//
// Decisions for the cases the OS layer cannot serve (its join refuses a
// detached thread and the caller's own thread; both would stop the process):
//   - join() called on the Task's own thread, or on a Task started with
//     autoDelete, reports the reason ("TaskError") and returns false with
//     exit status 0, instead of deadlocking or aborting.
//   - terminate(true) in those cases still queues the request (the part that
//     does not block), reports that it cannot wait ("TaskError") and returns
//     false: true from terminate(true) always means that the thread has ended.
//     Its loop ends when it reads the request (after the current macro, for
//     a call from a macro on the Task's own thread).
//   - A Task started with autoDelete never destroys its OS task handle: its
//     thread is detached, and the OS layer releases the thread's record when
//     the thread's entry returns; the Task, deleted on that very thread, only
//     forgets the handle. Likewise any Task cleaned up on its own thread.
//   - A termination request that could not be queued is deleted by terminate
//     (it paused before its end and would otherwise leak).
#ifndef HALVIX_TASK_TASK_H
#define HALVIX_TASK_TASK_H

#include <halvix/Export.h>
#include <halvix/os/osTask.h>
#include <halvix/queue/Queue.h>
#include <halvix/task/MacroInProgress.h>
#include <halvix/task/TaskControl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace halvix::queue::internal {
struct ObserverHooks;
}  // namespace halvix::queue::internal

namespace halvix::task {

class HALVIX_API Task : public TaskControl
{
public:
    enum State : int32_t
    {
        NOT_RUNNING = 0,
        RUNNING = 1,
        WAITING_TO_TERMINATE = 2
    };

    // The exit statuses the library produces; equal to the command results
    // (0 success, non-zero failure).
    static const int SUCCESSFUL;  // 0
    static const int FAILURE;     // 1
    // Error-type names.
    static const std::string TASK_ERROR;         // "TaskError"
    static const std::string WRONG_STATE_ERROR;  // "WrongTaskState"

    // Builds the event queue name + "-TaskEventQueue" with maxMacros slots
    // (whose own registry throws "AlreadyExists" for a name in use), makes
    // queuePtr (if not null) forward to it, and registers the Task. A name
    // already in the Task Collection is reported and thrown ("AlreadyExists").
    Task(const std::string& name, queue::Queue* queuePtr, unsigned long maxMacros);
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    // cleanUp(), then the event queue goes away.
    ~Task() override;

    // --- Registry ---

    // The Task registered under `name`, or null (no report). An empty name
    // stands for getMyName(), so getTaskPtr("") on a Task's thread yields that
    // Task, unless its name is empty or longer than 127 characters.
    static Task* getTaskPtr(const std::string& name);

    // The calling thread's OS task name: the Task name on a Task's thread,
    // "Timer:" + queue name on a timer thread, empty on a thread the library
    // did not create. On such a thread it gives the thread an OS task record,
    // which lives until os::osTaskDetach() on that thread.
    static std::string getMyName();

    // "*** Current tasks are:", then every Task's output in name order, each
    // followed by an empty line.
    static std::ostream& outputTasks(std::ostream& os);

    // --- Thread control ---

    // Starts the thread of execution with a copy of *options (all zero when
    // null) whose name is the Task name cut to 127 characters (an empty name
    // becomes "Task:<address>:ID<n>", n counting such starts from 1),
    // joinable unless autoDelete, and whose `reserved` is this Task. `arg`
    // reaches run unchanged. The handle of an earlier run is destroyed first;
    // the exit status becomes 0. A running Task is reported
    // ("WrongTaskState") and false is returned. Stack: without a stacksize
    // in the options the thread gets the platform's default stack, as any
    // thread of the program does; a stacksize is usable stack, given on top
    // of the program's static thread_local data (see osTaskCreate).
    bool start(const os::osTaskOptions_t* options, void* arg, bool autoDelete) override;

    // Queues a termination request behind the work already queued (without
    // waiting for a slot) and makes the Task WAITING_TO_TERMINATE; with
    // waitForTermination, waits for the thread to end. True when the request
    // was queued (and, with waitForTermination, the thread has ended).
    // False, with a report: not running ("WrongTaskState"); request not
    // queued, e.g. full event queue ("TaskError", the Task stays RUNNING);
    // cannot wait, see the decisions above ("TaskError", request queued).
    bool terminate(bool waitForTermination) override;

    // True exactly while the Task is WAITING_TO_TERMINATE. A derived run that
    // does not read the event queue, or a long command, polls it.
    bool waitingToTerminate() override;

    // Waits for the thread of a running Task to end and yields its exit
    // status. False, with exitStatus 0 and a report: not running, which
    // includes a thread that has already ended ("WrongTaskState"); called on
    // the Task's own thread or for an autoDelete Task ("TaskError").
    bool join(int& exitStatus);

    // The priority of the running thread (see os::osTaskSetPriority for the
    // range). False, with a report ("WrongTaskState"), when not running.
    bool setPriority(const int& priority);
    bool getPriority(int& priority) const;  // leaves `priority` alone on failure

    // Makes queuePtr forward to (addQueue) or no longer forward to
    // (removeQueue) this Task's event queue. Null is reported and thrown
    // ("NullPtr"). Other threads may write to queuePtr meanwhile; removeQueue
    // waits for their writes in flight to this Task (see Queue.h).
    void addQueue(queue::Queue* queuePtr);
    void removeQueue(queue::Queue* queuePtr);

    // --- The calling thread ---

    // Forwards to os::osSetSchedPolicy; true.
    static bool setSchedulingPolicy(os::osSchedPolicy_t policy);
    // The calling thread sleeps `ms` milliseconds.
    static void goToSleep(unsigned long ms);
    // goToSleep(0).
    static void yield();

    // --- Accessors ---

    const std::string& getName() const { return name; }
    // Never null; lives as long as the Task.
    queue::Queue* getEventQueuePtr() { return &eventQueue; }
    // State and exit status are atomic words, so they are returned by value.
    State getState() const { return state.load(std::memory_order_acquire); }
    int getExitStatus() const { return exitStatus.load(std::memory_order_relaxed); }
    void setState(State newState) { state.store(newState, std::memory_order_release); }
    // The OS task of the current or last run; null before the first start.
    // Set when start returns, also for an autoDelete Task (valid while its
    // thread runs).
    void* getOsTaskPtr() const { return osTaskPtr.load(std::memory_order_acquire); }
    bool isThreadOfExecutionRunning() const { return getState() != NOT_RUNNING; }
    // Called by the thread as it ends: exit status, then NOT_RUNNING.
    void threadOfExecutionFinished(int exitStatus);

    // The destructor's work: leaves the Task Collection; makes every queue
    // that forwards to the event queue stop doing so (addQueue, or the
    // constructor's queuePtr; a pool queue destroyed first has already let
    // go); terminates a running thread and waits for it. When the event queue
    // is full, the refused request is reported and a second one waits for a
    // slot while the thread lives; a thread that ends by itself meanwhile is
    // joined. Releases the OS task handle. Safe to call twice.
    void cleanUp();

    // "Name", "Event Queue", "State", "OS Task Pointer" and "Exit Status"
    // lines, each flushed.
    std::ostream& output(std::ostream& os) const override;

    // --- Counters for halvix/observe, kept only while observation is on ---

    // Macros the event loop ran, and those among them whose status was not 0.
    // Acquire: a macro seen counted here has ended, its timeline event
    // recorded and its failure counted.
    uint64_t getExecuted() const { return executed.load(std::memory_order_acquire); }
    uint64_t getFailed() const { return failed.load(std::memory_order_relaxed); }
    // The macro the event loop runs now (see MacroInProgress.h).
    const MacroInProgress& getMacroInProgress() const { return inProgress; }

    // What a snapshot shows of one Task, copied under the Task Collection's lock.
    struct Facts
    {
        std::string name;
        State state;
        std::string eventQueue;
        unsigned long depth;  // macros waiting in the event queue
        uint64_t maxDepth;    // the event queue's high-water mark
        uint64_t executed;
        uint64_t failed;
        bool busy;  // a macro runs: the two below are set
        std::string current;
        int64_t currentStart;  // when it began, in observed ticks
    };
    // Appends the facts of at most `limit` registered Tasks, in name order,
    // starting after the name `*after` (from the first when null); returns
    // how many it appended. Holds the registry's lock for one call only.
    HALVIX_INTERNAL static std::size_t copyFacts(const std::string* after, std::size_t limit,
                                                 std::vector<Facts>& out);

    // --- The thread of execution (not for application calls) ---

    // The entry handed to the OS layer; finds its Task through the options'
    // `reserved`, runs go, marks the Task finished, deletes an autoDelete
    // Task. Its result is the exit status.
    static void* staticGo(void* arg);
    // initialize, run, finalize with every exception reported; the exit status.
    int go(void* arg);

protected:
    // Does nothing.
    void initialize() override;
    // The event loop: reads macros (waiting without limit) and executes them
    // until a termination request arrives.
    int run(void* arg) override;
    // Does nothing.
    void finalize(const int& exitStatus) override;

private:
    // Reports the exception being handled as a CRITICAL "TaskError" of "go".
    HALVIX_INTERNAL void reportEscapedException() const;
    // The report of join/terminate(true) when the OS join cannot be used;
    // empty when it can.
    HALVIX_INTERNAL std::string reasonJoinIsImpossible() const;
    // cleanUp's end of a running thread whose event queue refused the request.
    HALVIX_INTERNAL void waitForThreadBehindFullQueue();
    // run's execution of one macro while observation is on; `begin` is
    // when it began (observed ticks), 0 to read the clock. Returns when it
    // ended under a timeline, 0 otherwise.
    HALVIX_INTERNAL int64_t executeObserved(command::Macro* macro,
                                            const queue::internal::ObserverHooks& hooks, int64_t begin);

    std::string name;
    queue::Queue eventQueue;
    // Written by start before the thread exists (thread creation publishes
    // it); read by the thread and by the controlling thread.
    bool autoDelete;
    // Written by the controlling thread (start, terminate) and by the thread
    // as it ends; release on the thread's final write, acquire on reads.
    std::atomic<State> state;
    // Written by start and by the new thread (the same handle); release/acquire.
    std::atomic<void*> osTaskPtr;
    // Written by start before the thread exists and by the thread before its
    // final state store (which publishes it); relaxed.
    std::atomic<int> exitStatus;
    // Observation counters, written by the thread only; relaxed, statistics
    // read on their own, except that executed is stored with release (see
    // getExecuted). On cache lines of their own, away from the event queue's
    // fields that every writer reads.
    alignas(64) std::atomic<uint64_t> executed{0};
    std::atomic<uint64_t> failed{0};
    MacroInProgress inProgress;
};

HALVIX_API std::ostream& operator<<(std::ostream& os, const Task& task);

}  // namespace halvix::task

#endif  // HALVIX_TASK_TASK_H
