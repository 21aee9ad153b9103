// bench/compare/register.h - the definitions of the registration helpers of
// peers.h, for the peer files that instantiate them with their queue adapter.
#ifndef HALVIX_BENCH_COMPARE_REGISTER_H
#define HALVIX_BENCH_COMPARE_REGISTER_H

#include "peers.h"
#include "workloads.h"

namespace compare {

template <typename Queue>
void registerQueueWorkloads(Registry& registry, const std::string& implementation)
{
    registry.add(Workload::Spsc, implementation, [] { return spsc<Queue>(Placement::Free); });
    registry.add(Workload::SpscOneCpu, implementation, [] { return spsc<Queue>(Placement::OneCpu); });
    registry.add(Workload::PingPong, implementation, [] { return pingPong<Queue>(Placement::Free); });
    if (cpuCount() >= 2) {
        registry.add(Workload::PingPongPinned, implementation,
                     [] { return pingPong<Queue>(Placement::TwoCpus); });
    }
    registry.add(Workload::PingPongOneCpu, implementation, [] { return pingPong<Queue>(Placement::OneCpu); });
    registry.add(Workload::Mpmc, implementation, [] { return mpmc<Queue>(); });
}

template <typename Queue>
void registerQueueAndWorker(Registry& registry, const std::string& implementation)
{
    registerQueueWorkloads<Queue>(registry, implementation);
    registry.add(Workload::Dispatch, implementation, [] { return dispatchThroughQueue<Queue>(); });
}

inline void registerTimerWorkloads(Registry& registry, const std::string& implementation,
                                   Measurement (*lateness)(), Measurement (*idleTimers)())
{
    registry.add(Workload::TimerLateness, implementation, lateness);
    if (idleTimers != nullptr) {
        registry.add(Workload::IdleTimerCost, implementation, idleTimers);
    }
}

}  // namespace compare

#endif  // HALVIX_BENCH_COMPARE_REGISTER_H
