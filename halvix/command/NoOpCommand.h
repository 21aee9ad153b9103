// halvix/command/NoOpCommand.h - a command that does nothing and succeeds.
//
// Useful as a placeholder, and as the command after a hand-off point so that
// a macro that paused there still has something to resume with.
#ifndef HALVIX_COMMAND_NOOPCOMMAND_H
#define HALVIX_COMMAND_NOOPCOMMAND_H

#include <halvix/Export.h>
#include <halvix/command/Command.h>

namespace halvix::command {

// Name "NoOpCommand"; execute() returns 0 at once.
class HALVIX_API NoOpCommand : public Command
{
public:
    NoOpCommand();
    ~NoOpCommand() override;

protected:
    int myExecute() override;
};

}  // namespace halvix::command

#endif  // HALVIX_COMMAND_NOOPCOMMAND_H
