// halvix/task/InfiniteLoopMacro.h - a macro that re-posts itself after every run.
//
// Written once to a Task's event queue, it runs its commands once per pass
// through the queue, behind whatever was queued meanwhile, for as long as the
// Task reads the queue: a piece of background work between other macros. A
// termination request queued meanwhile is reached after at most one more pass.
//
// Each run executes the commands (continuing on error), rewinds the macro and
// its commands (reset), writes the macro to its queue with time-out 0 and
// returns 0 whatever the commands returned. A failed write (full queue) is
// reported by the queue and ends the cycle.
//
// Ownership: not auto delete. The macro stays the application's: it is never
// deleted by a queue or a Task, also not when it is left in the event queue of
// a terminated Task. Delete it only when no thread will read it again, e.g.
// after the Task is terminated and its event queue destroyed (or drained).
#ifndef HALVIX_TASK_INFINITELOOPMACRO_H
#define HALVIX_TASK_INFINITELOOPMACRO_H

#include <halvix/Export.h>
#include <halvix/command/Macro.h>
#include <halvix/queue/WriteableQueue.h>

namespace halvix::task {

class HALVIX_API InfiniteLoopMacro : public command::Macro
{
public:
    // Named "InfiniteLoopMacro"; queuePtr must not be null (not checked).
    explicit InfiniteLoopMacro(queue::WriteableQueue* queuePtr);
    ~InfiniteLoopMacro() override;

protected:
    // Commands, reset, re-post; 0.
    int myExecute() override;

private:
    queue::WriteableQueue* queuePtr;  // not owned
};

}  // namespace halvix::task

#endif  // HALVIX_TASK_INFINITELOOPMACRO_H
