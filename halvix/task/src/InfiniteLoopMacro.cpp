// InfiniteLoopMacro: a macro that writes itself back to its queue after every run.
#include "halvix/task/InfiniteLoopMacro.h"

namespace halvix::task {

InfiniteLoopMacro::InfiniteLoopMacro(queue::WriteableQueue* loopQueuePtr)
    : Macro("InfiniteLoopMacro", true, false), queuePtr(loopQueuePtr)
{
}

InfiniteLoopMacro::~InfiniteLoopMacro() = default;

int InfiniteLoopMacro::myExecute()
{
    Macro::myExecute();
    reset();
    // Once written, the macro belongs to the queue's reader, possibly on
    // another thread: nothing of it is touched afterwards. A failed write has
    // been reported by the queue and ends the cycle.
    queuePtr->write(this, 0);
    return 0;
}

}  // namespace halvix::task
