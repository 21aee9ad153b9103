// Boost.Asio: an io_context run by a worker thread, with post() both ways for
// dispatch, and steady_timer's waited on by that thread. Asio has no bounded
// queue of its own, so it takes no part in the raw-queue rows.
#include "peers.h"
#include "register.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <memory>
#include <thread>

namespace compare {
namespace {

namespace asio = boost::asio;

// An io_context kept running by its own thread until destruction.
class Loop
{
public:
    Loop() : m_thread([this] { m_context.run(); }) {}
    ~Loop()
    {
        m_guard.reset();
        m_thread.join();
    }
    asio::io_context& context() { return m_context; }

private:
    asio::io_context m_context;
    asio::executor_work_guard<asio::io_context::executor_type> m_guard{m_context.get_executor()};
    std::thread m_thread;
};

// The caller's own io_context receives the answer; run_one() waits for it.
Measurement postRoundTrip()
{
    Loop worker;
    asio::io_context caller;
    auto callerGuard = asio::make_work_guard(caller);
    uintptr_t done = 0;
    auto samples = sampleRoundTrips([&] {
        asio::post(worker.context(), [&] {
            ++done;
            asio::post(caller, [] {});
        });
        caller.run_one();
    });
    return latencies(std::move(samples), Metric::DispatchMedian, Metric::DispatchP99);
}

// The timer is armed on the loop's thread (an Asio object is not for two
// threads at once), at an absolute deadline taken before the post, so the
// hop to that thread does not push the expiry later.
Measurement timerLateness()
{
    Loop loop;
    asio::steady_timer timer(loop.context());
    auto samples = sampleLateness([&](std::function<void()> fire) {
        const auto deadline = Clock::now() + TIMER_DELAY;
        asio::post(loop.context(), [&timer, deadline, fire = std::move(fire)] {
            timer.expires_at(deadline);
            timer.async_wait([fire](const boost::system::error_code&) { fire(); });
        });
    });
    return lateness(std::move(samples));
}

Measurement idleTimers()
{
    return idleTimerCost([] {
        auto* loop = new Loop();
        return std::function<void()>([loop] {
            std::promise<void> armed;
            asio::post(loop->context(), [loop, &armed] {
                for (int i = 0; i < IDLE_TIMERS; ++i) {
                    auto* timer = new asio::steady_timer(loop->context(), std::chrono::hours(1));
                    timer->async_wait([](const boost::system::error_code&) {});
                }
                armed.set_value();
            });
            armed.get_future().wait();
        });
    });
}

}  // namespace

void registerAsio(Registry& registry)
{
    registry.add(Workload::Dispatch, "Boost.Asio", postRoundTrip);
    registerTimerWorkloads(registry, "Boost.Asio", timerLateness, idleTimers);
    registry.note("Boost.Asio: dispatch is post() to a worker io_context and post() back to the caller's "
                  "io_context (run_one); timers are steady_timer on one io_context thread.");
}

}  // namespace compare
