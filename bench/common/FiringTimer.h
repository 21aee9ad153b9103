// bench/common/FiringTimer.h - a halvix Timer that calls a function when it
// expires, on the thread that reads the Timer's queue.
#ifndef HALVIX_BENCH_COMMON_FIRINGTIMER_H
#define HALVIX_BENCH_COMMON_FIRINGTIMER_H

#include <halvix/queue/Queue.h>
#include <halvix/timer/Timer.h>

#include <functional>

namespace bench {

class FiringTimer : public halvix::timer::Timer
{
public:
    explicit FiringTimer(halvix::queue::Queue* queue) : Timer(queue, nullptr) {}
    ~FiringTimer() override { cleanUp(); }
    // Set by the arming thread before the start; the start and the delivery
    // through the queue order it before handleTimeout reads it.
    std::function<void()> fire;
    void handleTimeout() override { fire(); }
};

}  // namespace bench

#endif  // HALVIX_BENCH_COMMON_FIRINGTIMER_H
