// halvix/src/AsymmetricBarrier.h - registration for the membarrier system
// call, which lets a rare side make every running thread of the process pass
// a full barrier so that the frequent side needs none (internal).
//
// Used where one side is hot and the other rare: forwarded writes against a
// change of a queue's targets, timeline events against stopTimeline.
// ThreadSanitizer cannot see the barrier the call implies, so under it the
// users keep sequentially consistent accesses on both sides instead.
#ifndef HALVIX_SRC_ASYMMETRICBARRIER_H
#define HALVIX_SRC_ASYMMETRICBARRIER_H

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace halvix::internal {

// Whether the rare side may use MEMBARRIER_CMD_PRIVATE_EXPEDITED; registers
// the process for it. Callers keep the answer in a function-local static.
inline bool registerAsymmetricBarrier()
{
#if defined(__SANITIZE_THREAD__)
    return false;
#else
    const long commands = syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
    return commands > 0 && (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0 &&
           syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
#endif
}

}  // namespace halvix::internal

#endif  // HALVIX_SRC_ASYMMETRICBARRIER_H
