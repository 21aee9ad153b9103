// Lateness: a histogram of how late a timer's deliveries reach handleTimeout.
#include "halvix/timer/Lateness.h"

namespace halvix::timer {

namespace {

int bucketOf(int64_t lateUs)
{
    int bucket = 0;
    while (lateUs > 0 && bucket < Lateness::BUCKETS - 1) {
        lateUs >>= 1;
        ++bucket;
    }
    return bucket;
}

}  // namespace

void Lateness::add(int64_t lateUs)
{
    if (lateUs < 0) {
        lateUs = 0;
    }
    last.store(lateUs, std::memory_order_relaxed);
    int64_t seen = most.load(std::memory_order_relaxed);
    while (seen < lateUs && !most.compare_exchange_weak(seen, lateUs, std::memory_order_relaxed)) {
    }
    buckets[bucketOf(lateUs)].fetch_add(1, std::memory_order_relaxed);
}

uint64_t Lateness::count() const
{
    uint64_t total = 0;
    for (const auto& bucket : buckets) {
        total += bucket.load(std::memory_order_relaxed);
    }
    return total;
}

int64_t Lateness::p50Us() const
{
    uint32_t counts[BUCKETS];
    uint64_t total = 0;
    for (int b = 0; b < BUCKETS; ++b) {
        counts[b] = buckets[b].load(std::memory_order_relaxed);
        total += counts[b];
    }
    uint64_t below = 0;
    for (int b = 0; b < BUCKETS; ++b) {
        below += counts[b];
        if (total > 0 && 2 * below >= total) {
            return b == 0 ? 0 : int64_t{1} << b;
        }
    }
    return 0;
}

}  // namespace halvix::timer
