// dumpOnSignal: a signal handler that only wakes a watcher thread, which
// takes the snapshot and writes it out.
//
// The handler writes the signal's number into a pipe (write is
// async-signal-safe; a full pipe drops the wake-up, and a snapshot is coming
// anyway). The watcher reads the pipe, looks up the signal's path and writes
// the snapshot there. It is started once, detached and never ended: blocked
// in read, it does not keep the process from exiting.
//
// A child made by fork() inherits the handler and the pipe, but not the
// watcher: the pipe leads to the parent's watcher, which would dump the
// parent for the child's signal. So the child forgets the watcher and its
// pipe as it is born, and starts its own at its next dumpOnSignal.
//
// dumpOnSignal returns only once the watcher runs. A thread's start
// allocates (AddressSanitizer's run-time does, before the thread's function),
// and an allocator that holds no lock across fork() leaves a child copied in
// the middle of it with that lock taken for ever: the child's own watcher,
// whose start needs the same lock, would never run. A service that forks
// right after dumpOnSignal must copy a watcher that waits in read, not one
// still starting; a fork on another thread meanwhile waits for the watcher's
// lock (lockBeforeFork), which the start holds.
#include "halvix/observe/Observe.h"

#include "halvix/src/ThreadSafety.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace halvix::observe {

namespace {

struct Watcher
{
    internal::Mutex mutex;
    std::map<int, std::string> paths HALVIX_GUARDED_BY(mutex);  // by signal
    bool started HALVIX_GUARDED_BY(mutex) = false;
    int readFd HALVIX_GUARDED_BY(mutex) = -1;  // the watcher's end of the pipe, once started
};

Watcher& watcher()
{
    static Watcher* theWatcher = new Watcher;  // never destroyed: the watcher outlives main
    return *theWatcher;
}

// The pipe's write end for the handler; -1 until the watcher runs. Lock-free
// atomics are async-signal-safe; relaxed, since the pipe is made before the
// handler is installed (sigaction orders them).
std::atomic<int> wakeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free word");

extern "C" void onDumpSignal(int signo)
{
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signo);
    const int fd = wakeFd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        ssize_t ignored = write(fd, &number, 1);
        (void)ignored;  // a full pipe already holds a wake-up
    }
    errno = savedErrno;
}

bool writeAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// Writes beside the path and renames, so a reader sees a whole snapshot or none.
void writeSnapshot(const std::string& path)
{
    const std::string text = snapshotJson();
    if (path == "-") {
        writeAll(STDERR_FILENO, text);
        return;
    }
    const std::string partial = path + ".partial";
    const int fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    const bool written = writeAll(fd, text);
    if (close(fd) == 0 && written) {
        rename(partial.c_str(), path.c_str());
    } else {
        unlink(partial.c_str());
    }
}

// Writes the snapshot to the path of `signo`, if it has one.
void dumpFor(int signo)
{
    std::string path;
    {
        Watcher& w = watcher();
        internal::MutexLock lock(w.mutex);
        auto entry = w.paths.find(signo);
        if (entry == w.paths.end()) {
            return;
        }
        path = entry->second;
    }
    try {
        writeSnapshot(path);
    } catch (...) {
        // Out of memory for the snapshot: the next signal tries again.
    }
}

// fork(): the watcher's lock is held across it, so that the child's copy
// is not left locked by a thread the child does not have. The lock spans
// three handlers, which the analysis cannot follow.
void lockBeforeFork() HALVIX_NO_THREAD_SAFETY_ANALYSIS
{
    watcher().mutex.lock();
}

void unlockInParent() HALVIX_NO_THREAD_SAFETY_ANALYSIS
{
    watcher().mutex.unlock();
}

void forgetWatcherInChild() HALVIX_NO_THREAD_SAFETY_ANALYSIS
{
    Watcher& w = watcher();
    if (w.started) {
        // The child's copies of the parent's pipe; close is async-signal-safe.
        close(wakeFd.exchange(-1, std::memory_order_relaxed));
        close(w.readFd);
        w.readFd = -1;
        w.started = false;
    }
    w.mutex.unlock();
}

void watch(int readFd, std::promise<void> running)
{
    // From here on the thread allocates nothing until a signal comes.
    running.set_value();
    for (;;) {
        // Every wake-up waiting is taken at once, and each signal among them
        // gets one snapshot, taken after them all: a burst of signals must
        // not leave a backlog of snapshots for seconds after it.
        unsigned char numbers[4096];
        const ssize_t got = read(readFd, numbers, sizeof numbers);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return;  // cannot happen while the write end stays open
        }
        bool raised[256] = {};
        for (ssize_t i = 0; i < got; ++i) {
            raised[numbers[i]] = true;
        }
        for (int signo = 1; signo < 256; ++signo) {
            if (raised[signo]) {
                dumpFor(signo);
            }
        }
    }
}

// Makes the pipe and starts the watcher.
bool startWatcher(Watcher& w) HALVIX_REQUIRES(w.mutex)
{
    if (w.started) {
        return true;
    }
    static const bool forkHandled = pthread_atfork(lockBeforeFork, unlockInParent, forgetWatcherInChild) == 0;
    if (!forkHandled) {
        return false;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    fcntl(fds[1], F_SETFL, O_NONBLOCK);  // the handler never blocks
    // The watcher takes no signals: a handler running on it would only
    // delay the snapshot it is about to take.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    try {
        std::promise<void> running;
        std::future<void> ran = running.get_future();
        std::thread(watch, fds[0], std::move(running)).detach();
        ran.wait();  // see the file's comment: no fork copies a watcher still starting
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    wakeFd.store(fds[1], std::memory_order_relaxed);
    w.readFd = fds[0];
    w.started = true;
    return true;
}

// Signals the processor raises for the instruction that faulted: a handler
// that returns runs that instruction again, so a real fault would loop for
// ever (taking snapshots) instead of ending the process.
bool raisedByAFault(int signo)
{
    return signo == SIGSEGV || signo == SIGBUS || signo == SIGFPE || signo == SIGILL;
}

}  // namespace

bool dumpOnSignal(int signo, const std::string& path)
{
    if (signo <= 0 || signo >= NSIG || signo > 255 || signo == SIGKILL || signo == SIGSTOP ||
        raisedByAFault(signo) || path.empty()) {
        return false;
    }
    startCounting();
    Watcher& w = watcher();
    internal::MutexLock lock(w.mutex);
    if (!startWatcher(w)) {
        return false;
    }
    w.paths[signo] = path;
    struct sigaction action = {};
    action.sa_handler = onDumpSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(signo, &action, nullptr) != 0) {
        w.paths.erase(signo);
        return false;
    }
    return true;
}

}  // namespace halvix::observe
