// NoOpCommand: the command that does nothing and succeeds.
#include "halvix/command/NoOpCommand.h"

namespace halvix::command {

NoOpCommand::NoOpCommand() : Command("NoOpCommand") {}

NoOpCommand::~NoOpCommand() = default;

int NoOpCommand::myExecute()
{
    return 0;
}

}  // namespace halvix::command
