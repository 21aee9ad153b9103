// Command: the unit of work, its name, result and the pause of the macro that runs it.
#include "halvix/command/Command.h"

namespace halvix::command {

Command::Command(const std::string& commandName) : name(commandName) {}

Command::~Command() = default;

bool Command::stopMacro() const
{
    return false;
}

std::ostream& Command::output(std::ostream& os) const
{
    os << "Name = '" << name << "'" << std::endl;
    return os;
}

int Command::execute()
{
    // Return straight from the hook: a macro may have deleted itself inside it.
    return myExecute();
}

void Command::reset()
{
    myReset();
}

void Command::myReset() {}

std::ostream& operator<<(std::ostream& os, const Command& command)
{
    return command.output(os);
}

}  // namespace halvix::command
