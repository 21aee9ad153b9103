// halvix/queue/WriteCommand.h - the command that writes a macro to a queue.
//
// Its main use is handing a macro to another thread: a macro whose list holds
// a WriteCommand naming that same macro writes itself into a queue and stops
// there (a WriteCommand always asks its macro to stop); the thread that reads
// it executes it, and the run resumes with the command after the WriteCommand:
//
//     auto* job = new Macro("job", false, true);
//     job->add(new StepOnThisThread());
//     job->add(new WriteCommand(otherTasksQueue, job, 0));
//     job->add(new StepOnTheOtherThread());
//     job->execute();   // runs the first step, hands the macro over, stops
//
// Result: 0 when the write succeeded, 1 when it failed (Queue::write has
// reported it; the macro stays with whoever executed it).
// The command owns neither the queue nor the macro.
#ifndef HALVIX_QUEUE_WRITECOMMAND_H
#define HALVIX_QUEUE_WRITECOMMAND_H

#include <halvix/Export.h>
#include <halvix/command/Command.h>
#include <halvix/command/Macro.h>
#include <halvix/queue/Queue.h>

namespace halvix::queue {

class HALVIX_API WriteCommand : public command::Command
{
public:
    // A null queue, then a null macro, is reported and thrown ("NullPtr").
    WriteCommand(Queue* queuePtr, command::Macro* macroPtr, int timeout);
    ~WriteCommand() override;

    // Always true: the macro stops after the write.
    bool stopMacro() const override;

protected:
    int myExecute() override;

private:
    Queue* queuePtr;           // not owned, never null
    command::Macro* macroPtr;  // not owned, never null
    int timeout;               // milliseconds
};

}  // namespace halvix::queue

#endif  // HALVIX_QUEUE_WRITECOMMAND_H
