// halvix/command/SleepCommand.h - a command that suspends the executing thread.
//
// Name "Sleep". execute() sleeps for the given number of microseconds and
// returns 0. A signal may end the sleep early; the rest is not made up for.
// The sleep blocks whichever thread executes the command (typically a task's
// event loop), so everything queued behind it waits as well.
#ifndef HALVIX_COMMAND_SLEEPCOMMAND_H
#define HALVIX_COMMAND_SLEEPCOMMAND_H

#include <halvix/Export.h>
#include <halvix/command/Command.h>

namespace halvix::command {

class HALVIX_API SleepCommand : public Command
{
public:
    // A negative time sleeps not at all. The sleep call counts unsigned
    // microseconds, so passing a negative count on would turn, say, -1 into a
    // sleep of about 71 minutes; a caller who computed a deadline that has
    // already passed wants no sleep, not the longest one.
    explicit SleepCommand(int sleepTimeUs);
    ~SleepCommand() override;

protected:
    int myExecute() override;

private:
    int sleepTimeUs;  // as given; negative values sleep 0
};

}  // namespace halvix::command

#endif  // HALVIX_COMMAND_SLEEPCOMMAND_H
