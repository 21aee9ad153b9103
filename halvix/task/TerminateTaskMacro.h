// halvix/task/TerminateTaskMacro.h - the macro that carries a termination request.
//
// Task::terminate builds one for the Task's event queue and executes it once:
// its first command, a WriteCommand with time-out 0, writes the macro itself
// into the event queue, behind every macro already there, and pauses it. When
// the Task's loop reads it, the loop recognises it by its type and deletes it
// without executing it, then ends with exit status 0. Should some other
// consumer execute it again, it runs its NoOpCommand and deletes itself
// (continue on error, auto delete).
//
// Ownership: while queued it belongs to the queue's reader; a queue destroyed
// with it inside deletes it (auto delete). If the write fails (full queue),
// the run ends paused and the macro stays with whoever executed it.
#ifndef HALVIX_TASK_TERMINATETASKMACRO_H
#define HALVIX_TASK_TERMINATETASKMACRO_H

#include <halvix/Export.h>
#include <halvix/command/Macro.h>
#include <halvix/queue/Queue.h>

namespace halvix::task {

class HALVIX_API TerminateTaskMacro : public command::Macro
{
public:
    // Named "TerminateTaskMacro". A null queue is reported and thrown ("NullPtr").
    explicit TerminateTaskMacro(queue::Queue* taskEventQueuePtr);
    ~TerminateTaskMacro() override;

private:
    // Not owned, never null; kept for the record (the write command it
    // builds holds the queue it writes to).
    [[maybe_unused]] queue::Queue* taskEventQueuePtr;
};

}  // namespace halvix::task

#endif  // HALVIX_TASK_TERMINATETASKMACRO_H
