// halvix/timer/Lateness.h - how late a timer's deliveries reach handleTimeout.
//
// A Timer keeps, while observation is on (halvix/observe), the lateness of
// each delivery: the time from the moment its expiry was due to the start of
// handleTimeout, in microseconds. It keeps the last value, the largest, and
// a small fixed histogram from which the median is read: bucket 0 holds
// deliveries less than 1 us late, bucket b (1 to BUCKETS - 2) those from
// 2^(b-1) up to 2^b us late, and the last bucket everything later.
//
// Contract: add may be called from any thread (one timer's deliveries may
// run on several consumers one after another); readers on other threads see
// each number on its own. Relaxed atomics: statistics, never used to order
// other memory.
#ifndef HALVIX_TIMER_LATENESS_H
#define HALVIX_TIMER_LATENESS_H

#include <halvix/Export.h>

#include <atomic>
#include <cstdint>

namespace halvix::timer {

class HALVIX_API Lateness
{
public:
    static constexpr int BUCKETS = 24;

    // Records one delivery `lateUs` microseconds late (negative counts as 0).
    void add(int64_t lateUs);

    uint64_t count() const;
    int64_t lastUs() const { return last.load(std::memory_order_relaxed); }
    int64_t maxUs() const { return most.load(std::memory_order_relaxed); }
    // The upper edge of the bucket that holds the median delivery: 0 for
    // bucket 0, 2^b for bucket b; 0 when nothing was recorded.
    int64_t p50Us() const;

private:
    std::atomic<int64_t> last{0};
    std::atomic<int64_t> most{0};
    std::atomic<uint32_t> buckets[BUCKETS]{};
};

}  // namespace halvix::timer

#endif  // HALVIX_TIMER_LATENESS_H
