// bench/compare/register.h - the definition of registerQueueWorkloads, for
// the peer files that instantiate it with their queue adapter.
#ifndef HALVIX_BENCH_COMPARE_REGISTER_H
#define HALVIX_BENCH_COMPARE_REGISTER_H

#include "peers.h"
#include "workloads.h"

namespace compare {

template <typename Queue>
void registerQueueWorkloads(Registry& registry, const std::string& implementation)
{
    registry.add(Workload::Spsc, implementation, [] { return spsc<Queue>(); });
    registry.add(Workload::PingPong, implementation, [] { return pingPong<Queue>(false); });
    if (cpuCount() >= 2) {
        registry.add(Workload::PingPongPinned, implementation, [] { return pingPong<Queue>(true); });
    }
    registry.add(Workload::Mpmc, implementation, [] { return mpmc<Queue>(); });
}

}  // namespace compare

#endif  // HALVIX_BENCH_COMPARE_REGISTER_H
