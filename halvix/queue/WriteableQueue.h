// halvix/queue/WriteableQueue.h - anything a macro can be written to.
//
// The interface through which code that only hands macros on (an
// InfiniteLoopMacro re-posting itself, for one) holds its queue.
#ifndef HALVIX_QUEUE_WRITEABLEQUEUE_H
#define HALVIX_QUEUE_WRITEABLEQUEUE_H

#include <halvix/Export.h>
#include <halvix/command/Macro.h>

namespace halvix::queue {

class HALVIX_API WriteableQueue
{
public:
    virtual ~WriteableQueue();

    // Hands the macro on, waiting up to `timeout` milliseconds in total (-1
    // without limit, 0 not at all; a positive time-out is one deadline for
    // the whole call, never early, late only by a wake-up's delay). True: the
    // macro now belongs to whoever reads it. False: it stays with the writer.
    virtual bool write(const command::Macro* macroPtr, int timeout) = 0;
};

}  // namespace halvix::queue

#endif  // HALVIX_QUEUE_WRITEABLEQUEUE_H
