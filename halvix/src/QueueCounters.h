// halvix/src/QueueCounters.h - what an OS message queue counts for the queue
// module's observation (internal: not for applications).
//
// The ring beneath a queue already knows how many messages it ever stored
// (its writers' position), and its reader can tell the most it held at once
// from slots it reads anyway. Counting there costs the writer nothing: a
// writer that kept such counts itself would read the readers' position on
// every write, a cache line that lives on the reader's CPU.
#ifndef HALVIX_SRC_QUEUECOUNTERS_H
#define HALVIX_SRC_QUEUECOUNTERS_H

#include <halvix/Export.h>

#include <cstdint>

namespace halvix::os::internal {

// osQueueRead that also keeps the queue's high-water mark.
HALVIX_INTERNAL bool osQueueReadMarking(void* queue, void** message, long timeoutMs);
// The most messages the queue held at once as marking reads found them
// (the messages held now may be more: see osQueueSize).
HALVIX_INTERNAL unsigned long osQueueHighWater(void* queue);
// Messages ever stored in the queue.
HALVIX_INTERNAL uint64_t osQueueWritten(void* queue);

}  // namespace halvix::os::internal

#endif  // HALVIX_SRC_QUEUECOUNTERS_H
