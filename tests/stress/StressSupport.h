// Shared by the stress tests: volumes cut under the sanitizers, bounded waits
// and a line that tells how much was done in how long.
#ifndef HALVIX_TESTS_STRESS_STRESSSUPPORT_H
#define HALVIX_TESTS_STRESS_STRESSSUPPORT_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace halvix::stress {

using Clock = std::chrono::steady_clock;

// A stress volume: the full figure in an ordinary build, less under
// AddressSanitizer (about 2x slower) and much less under ThreadSanitizer
// (5-15x slower on this kind of code), so that the sanitizer runs of the
// whole suite stay within a few minutes while still crossing every path.
template <typename T>
constexpr T scaled([[maybe_unused]] T full, [[maybe_unused]] T underAsan, [[maybe_unused]] T underTsan)
{
#if defined(__SANITIZE_THREAD__)
    return underTsan;
#elif defined(__SANITIZE_ADDRESS__)
    return underAsan;
#else
    return full;
#endif
}

// Every wait of a stress test is bounded: a lost message fails the test
// instead of hanging it.
constexpr std::chrono::seconds kBound{30};

// Polls `done` until it holds or the bound passes; its final value.
template <typename Predicate>
bool waitUntil(Predicate done, std::chrono::milliseconds bound = kBound)
{
    const auto deadline = Clock::now() + bound;
    while (!done()) {
        if (Clock::now() > deadline) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// Waits for each thread within the bound. One still blocked then lost a
// wake-up and cannot be released: say so and stop the process.
inline void joinWithin(std::vector<std::future<void>>& threads)
{
    for (auto& thread : threads) {
        if (thread.wait_for(kBound) != std::future_status::ready) {
            std::fprintf(stderr, "a thread is still blocked after %lld s: a wake-up was lost\n",
                         static_cast<long long>(kBound.count()));
            std::abort();
        }
        thread.get();
    }
}

// Measures one stress run and reports "<what>: <volume> in <seconds> s" on
// standard output and as test properties, so a CI log shows the load.
class Volume
{
public:
    explicit Volume(std::string what) : what(std::move(what)) {}

    void report(long long volume, const char* unit)
    {
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        std::printf("[ stress   ] %s: %lld %s in %.2f s\n", what.c_str(), volume, unit, seconds);
        testing::Test::RecordProperty(unit, std::to_string(volume));
        testing::Test::RecordProperty("seconds", std::to_string(seconds));
    }

private:
    std::string what;
    Clock::time_point started = Clock::now();
};

}  // namespace halvix::stress

#endif  // HALVIX_TESTS_STRESS_STRESSSUPPORT_H
