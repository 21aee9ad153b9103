// dumpOnSignal: a signal handler that only wakes a watcher thread, which
// takes the snapshot and writes it out.
//
// The handler writes the signal's number into a pipe (write is
// async-signal-safe; a full pipe drops the wake-up, and a snapshot is coming
// anyway). The watcher reads the pipe, looks up the signal's path and writes
// the snapshot there. It is started once, detached and never ended: blocked
// in read, it does not keep the process from exiting.
#include "halvix/observe/Observe.h"

#include "halvix/src/ThreadSafety.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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

void watch(int readFd)
{
    for (;;) {
        unsigned char number = 0;
        const ssize_t got = read(readFd, &number, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return;  // cannot happen while the write end stays open
        }
        std::string path;
        {
            Watcher& w = watcher();
            internal::MutexLock lock(w.mutex);
            auto entry = w.paths.find(number);
            if (entry == w.paths.end()) {
                continue;
            }
            path = entry->second;
        }
        try {
            writeSnapshot(path);
        } catch (...) {
            // Out of memory for the snapshot: the next signal tries again.
        }
    }
}

// Makes the pipe and starts the watcher.
bool startWatcher(Watcher& w) HALVIX_REQUIRES(w.mutex)
{
    if (w.started) {
        return true;
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
        std::thread(watch, fds[0]).detach();
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    wakeFd.store(fds[1], std::memory_order_relaxed);
    w.started = true;
    return true;
}

}  // namespace

bool dumpOnSignal(int signo, const std::string& path)
{
    if (signo <= 0 || signo >= NSIG || signo > 255 || signo == SIGKILL || signo == SIGSTOP || path.empty()) {
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
