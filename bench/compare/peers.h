// bench/compare/peers.h - one registration function per implementation.
//
// Each adds its runners to the registry; a peer the build did not find is
// not compiled at all (HALVIX_COMPARE_HAVE_<PEER>), and main.cpp notes it.
#ifndef HALVIX_BENCH_COMPARE_PEERS_H
#define HALVIX_BENCH_COMPARE_PEERS_H

#include "compare.h"

namespace compare {

void registerHalvix(Registry& registry);
void registerStdRing(Registry& registry);
void registerAsio(Registry& registry);
void registerPoco(Registry& registry);
void registerMoodycamel(Registry& registry);
void registerTbb(Registry& registry);
void registerAce(Registry& registry);

// Adds the raw-queue workloads (SPSC, ping-pong, pinned ping-pong when the
// machine has two CPUs, MPMC) of one queue adapter.
template <typename Queue>
void registerQueueWorkloads(Registry& registry, const std::string& implementation);

// The raw-queue workloads of one queue adapter and, for a peer with a queue
// but no executor of its own, dispatch through a worker thread over that queue.
template <typename Queue>
void registerQueueAndWorker(Registry& registry, const std::string& implementation);

// The timer workloads of an implementation: lateness, and the idle-timer cost
// when it has a timer facility to measure (null: no row).
inline void registerTimerWorkloads(Registry& registry, const std::string& implementation,
                                   Measurement (*lateness)(), Measurement (*idleTimers)() = nullptr);

}  // namespace compare

#endif  // HALVIX_BENCH_COMPARE_PEERS_H
