// WriteableQueue: anchors the interface's virtual table in the library.
#include "halvix/queue/WriteableQueue.h"

namespace halvix::queue {

// Defined out of line so the class's vtable and type information live in the
// library, once.
WriteableQueue::~WriteableQueue() = default;

}  // namespace halvix::queue
