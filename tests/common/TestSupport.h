// Test support shared by every module's tests: bounded waits, so that a lost
// wake-up fails a test instead of hanging CI; volumes scaled for slow builds;
// and a child process that must end cleanly within a limit.
#ifndef HALVIX_TESTS_COMMON_TESTSUPPORT_H
#define HALVIX_TESTS_COMMON_TESTSUPPORT_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace halvix::test {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, the clock of the library's deadlines
using std::chrono::milliseconds;

// The limit of every wait for another thread. Generous: a shared machine or
// an emulator may be slow, and a wait that succeeds returns at once anyway.
constexpr std::chrono::seconds kBound{30};

// Late wake-ups are tolerated generously (the machine is shared); early ones never.
constexpr milliseconds kLateness(2000);

inline milliseconds since(Clock::time_point start, Clock::time_point end = Clock::now())
{
    return std::chrono::duration_cast<milliseconds>(end - start);
}

// True when the test binary runs under user-mode emulation (a cross build).
inline bool underEmulation()
{
    return std::getenv("HALVIX_UNDER_EMULATION") != nullptr;
}

// A volume: the full figure in an ordinary build, less under AddressSanitizer
// (about 2x slower), much less under ThreadSanitizer or an emulator (5-15x
// slower on this kind of code), so that the slow runs of the whole suite stay
// within minutes while still crossing every path.
template <typename T>
T scaled([[maybe_unused]] T full, [[maybe_unused]] T underAsan, T underTsan)
{
#if defined(__SANITIZE_THREAD__)
    return underTsan;
#elif defined(__SANITIZE_ADDRESS__)
    return underEmulation() ? underTsan : underAsan;
#else
    return underEmulation() ? underTsan : full;
#endif
}

// Polls until the condition holds or the bound passes; its final value.
template <typename Condition>
bool eventually(Condition condition, milliseconds bound = kBound)
{
    const auto deadline = Clock::now() + bound;
    while (!condition()) {
        if (Clock::now() > deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

// True when the future became ready within the bound.
template <typename Future>
bool readyWithinBound(const Future& future)
{
    return future.wait_for(kBound) == std::future_status::ready;
}

// Waits for each thread within the bound. One still blocked then lost a
// wake-up and cannot be released: say so and stop the process.
inline void joinWithin(std::vector<std::future<void>>& threads)
{
    for (auto& thread : threads) {
        if (!readyWithinBound(thread)) {
            std::fprintf(stderr, "a thread is still blocked after %lld s: a wake-up was lost\n",
                         static_cast<long long>(kBound.count()));
            std::abort();
        }
        thread.get();
    }
}

// A handle or id as the library's traces print it.
inline std::string hexText(const void* handle)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", handle);
    return text;
}

// Runs `child` in a forked process `runs` times; each run must exit with
// status 0 within the bound (a hung child is killed and fails the test).
template <typename Child>
void expectChildExitsCleanly(Child child, int runs)
{
    for (int run = 0; run < runs; ++run) {
        const pid_t pid = fork();
        ASSERT_NE(pid, -1);
        if (pid == 0) {
            child();
            std::_Exit(0);
        }
        int status = 0;
        const auto limit = Clock::now() + kBound;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > limit) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                FAIL() << "run " << run << ": the child process hung";
            }
            usleep(1000);
        }
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "run " << run << ": " << (WIFSIGNALED(status) ? strsignal(WTERMSIG(status)) : "exit status ")
            << (WIFEXITED(status) ? WEXITSTATUS(status) : 0);
    }
}

// In a forked child: three detached threads run `body` for ever, and once
// `progress` has reached `until` the child calls exit, which runs the
// destructors of static objects (as a return from main does) while they run.
[[noreturn]] inline void exitWhileThreadsRun(void* (*body)(void*), const std::atomic<int>& progress,
                                             int until)
{
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDERR_FILENO);
    dup2(null, STDOUT_FILENO);  // exit flushes what the test binary had buffered
    for (int i = 0; i < 3; ++i) {
        pthread_t thread;
        pthread_create(&thread, nullptr, body, nullptr);
        pthread_detach(thread);
    }
    while (progress.load(std::memory_order_relaxed) < until) {
        sched_yield();
    }
    exit(0);
}

}  // namespace halvix::test

#endif  // HALVIX_TESTS_COMMON_TESTSUPPORT_H
