// halvix/observe/Observe.h - seeing inside a running service.
//
// halvix knows every Task, Queue and Timer by name; this module shows them:
//   snapshotJson    one JSON object describing every Task, Queue and Timer now
//   dumpOnSignal    writes that snapshot to a file whenever a signal arrives
//                   (kill -USR1 <pid> shows a stuck service without stopping it)
//   startTimeline,  record every macro a Task runs, every timer delivery and
//   stopTimeline    every write that waited for a full queue, and write them
//                   in the Chrome trace event format (Perfetto, chrome://tracing)
//   showThreadNames Task and timer threads show their names to top -H, ps -L,
//                   gdb and perf
//
// Everything is opt-in: until one of these calls, the library counts nothing,
// and a queue write or read, a macro run and a timer expiry each cost one
// relaxed atomic load more than without this module.
//
// Counting starts with the first call of startCounting, snapshotJson,
// dumpOnSignal or startTimeline, and then goes on for the life of the
// process. Counters therefore cover what happened since then: a snapshot's
// "executed", "fired" and the lateness figures start at 0, and a high-water
// mark covers the reads since then and what waits now; "written" is the
// queue's own count since it was made, and sizes, states and the macro
// running now are read as they are. What counting costs: a Task reads the
// CPU's constant-rate counter (a few nanoseconds) and publishes the name of each
// macro it runs; a queue's reader looks at one slot more as it takes a
// macro; a queue write costs nothing more.
//
// Concurrency: every function may be called from any thread, also while
// other threads create and destroy Tasks, Queues and Timers. A snapshot
// walks the registries a few hundred entries at a time, copying a few words
// of each under the registry's lock and never calling application code, so it
// holds up no Task or timer delivery for longer than that.
#ifndef HALVIX_OBSERVE_OBSERVE_H
#define HALVIX_OBSERVE_OBSERVE_H

#include <halvix/Export.h>

#include <cstddef>
#include <string>

namespace halvix::observe {

// Switches counting on (see above); later calls do nothing.
HALVIX_API void startCounting();

// One JSON object (switches counting on first):
//   "pid", "uptimeUs" (since counting began),
//   "tasks":  [{"name", "state" ("NOT_RUNNING", "RUNNING" or
//              "WAITING_TO_TERMINATE"), "eventQueue", "depth" (macros waiting),
//              "maxDepth" (high-water mark), "executed", "failed" (status not
//              0), "current": {"macro", "runningUs"} or null when idle}],
//   "queues": [{"name", "size", "maxMacros", "highWater", "written",
//              "forwardsTo": [names]}],
//   "timers": [{"id", "queue", "state" ("STOPPED", "RUNNING" or "EXPIRED"),
//              "repeatMs", "fired", "lateLastUs", "lateMaxUs", "lateP50Us",
//              "overruns"}]
// each list in name (timers: id) order. Lateness is measured at the start of
// handleTimeout from the time the expiry was due; lateP50Us is the upper edge
// of a power-of-two histogram bucket (timer/Lateness.h). "overruns" counts
// expiries that found the previous delivery of that timer still waiting or
// running. Names are JSON strings: valid UTF-8 passes through, other bytes
// are \u-escaped one by one.
HALVIX_API std::string snapshotJson();

// Installs a handler for `signo` whose only work is to wake a watcher thread,
// which then writes snapshotJson() to `path` ("-": standard error; a file is
// written beside itself and renamed into place, so a reader never sees half
// of one). The watcher is started by the first call, which returns once it
// runs (so a fork right after the call copies no thread still starting), and
// lives as long as the process without keeping it from exiting. Calling again for the same signal
// replaces the path. The handler replaces whatever `signo` had before (a
// handler of the application, SIG_IGN or SIG_DFL) and does not call it; the
// previous disposition is not restored. Interrupted system calls restart
// (SA_RESTART). Signals that arrive while a snapshot is written are served
// by one more snapshot each, not one per arrival. False for a signal that
// cannot be caught (SIGKILL, SIGSTOP, out of range), one that a faulting
// instruction raises (SIGSEGV, SIGBUS, SIGFPE, SIGILL: returning from the
// handler would run the instruction again, for ever), an empty path, or when
// the handler or the watcher cannot be set up. Switches counting on.
// A child made by fork() keeps the handlers but has no watcher: its signals
// are ignored (they never reach the parent's watcher) until it calls
// dumpOnSignal itself, which starts its own and keeps the paths set before.
HALVIX_API bool dumpOnSignal(int signo, const std::string& path);

// Starts recording into per-thread buffers; `path` is created (truncated)
// now and written by stopTimeline. At most `maxEvents` events reach the
// file: when more were recorded, the oldest go, and the file says how many
// ("otherData": {"droppedEvents"}). False when a timeline is already being
// recorded, maxEvents is 0 or the file cannot be created. Switches counting on.
//
// Events: a complete event ("ph":"X", "cat":"macro", ts and dur in
// microseconds since the start) for every macro a Task's event loop runs,
// named after the macro, on the lane of that Task (thread-name metadata
// carries the Task's name; other threads carry their OS name); an instant
// event ("ph":"i", "cat":"timer", "Timer <id>", args "lateUs") for every
// timer delivery that reaches handleTimeout, on the consumer's lane; a
// complete event ("cat":"queue", "<queue> full", the wait as dur) for every
// write that found its queue full and waited 20 us or more (a shorter wait
// is a writer spinning briefly while a busy reader frees a slot).
HALVIX_API bool startTimeline(const std::string& path, std::size_t maxEvents);

// Stops recording and writes the file. Threads still recording finish their
// event first (a few instructions: it never waits for a macro to end, so a
// macro or a handleTimeout may call it, and its own run is then not in the
// file); a thread that ended while recording keeps its events. False when no
// timeline is being recorded or the file could not be written. None of these
// functions may be called from a signal handler.
HALVIX_API bool stopTimeline();

// When on, every Task thread and timer thread started afterwards hands its
// name to the OS: the Task's name, and "Timer:" + the timer's queue name for
// a timer thread, each cut to its first 15 bytes (never inside a UTF-8
// character), which is all the kernel keeps. Threads already running keep
// their names. Off by default.
HALVIX_API void showThreadNames(bool on);

}  // namespace halvix::observe

#endif  // HALVIX_OBSERVE_OBSERVE_H
