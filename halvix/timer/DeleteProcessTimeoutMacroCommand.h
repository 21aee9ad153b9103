// halvix/timer/DeleteProcessTimeoutMacroCommand.h - deletes a destroyed
// Timer's Process Timeout Macro in the queue's consumer.
//
// A destroyed Timer may still have deliveries of its macro waiting in the
// queue, so it cannot delete the macro itself. It queues a macro holding this
// command behind them instead; executed, the command deletes the Process
// Timeout Macro (once: a second execution does nothing) and returns 0. When a
// delivery of the macro is still waiting or running elsewhere (a queue that
// forwards to several consumers), that delivery deletes it as it ends.
#ifndef HALVIX_TIMER_DELETEPROCESSTIMEOUTMACROCOMMAND_H
#define HALVIX_TIMER_DELETEPROCESSTIMEOUTMACROCOMMAND_H

#include <halvix/Export.h>
#include <halvix/command/Command.h>
#include <halvix/command/Macro.h>

namespace halvix::timer {

class HALVIX_API DeleteProcessTimeoutMacroCommand : public command::Command
{
public:
    // Takes ownership of the macro. A null macro is reported and thrown ("NullPtr").
    DeleteProcessTimeoutMacroCommand(unsigned int timerId, command::Macro* processTimeoutMacroPtr);
    // Deletes the macro if it was never executed (its queue went away first).
    ~DeleteProcessTimeoutMacroCommand() override;

protected:
    int myExecute() override;

private:
    [[maybe_unused]] unsigned int timerId;   // the timer it deletes for, kept for the record
    command::Macro* processTimeoutMacroPtr;  // owned; null once deleted
};

}  // namespace halvix::timer

#endif  // HALVIX_TIMER_DELETEPROCESSTIMEOUTMACROCOMMAND_H
