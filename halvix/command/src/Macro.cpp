// Macro: runs its commands in order, resumes where a command paused it, deletes itself when asked.
#include "halvix/command/Macro.h"

#include "halvix/error/Report.h"

namespace halvix::command {

using error::Error;

Macro::Macro(const std::string& macroName, bool continuesOnError, bool deletesItself)
    : Command(macroName), continueOnError(continuesOnError), autoDelete(deletesItself)
{
}

Macro::~Macro()
{
    // A macro always owns its commands; auto delete only says who deletes the
    // macro itself.
    for (Command* command : commands) {
        delete command;  // deleting null is a no-op, so null entries are skipped
    }
}

void Macro::add(Command* commandPtr)
{
    if (commandPtr == nullptr) {
        HALVIX_REPORT("add", Error::NULL_PTR, Error::ERROR,
                      "Null pointer (commandPtr) passed to Macro::add for macro command '" + getName() +
                          "'.");
        return;
    }
    // An auto-delete macro deletes itself at the end of its run while this
    // list still holds it, and our destructor would delete it again.
    if (const auto* nested = dynamic_cast<const Macro*>(commandPtr);
        nested != nullptr && nested->autoDelete) {
        HALVIX_REPORT("add", Error::INVALID_ARGUMENT, Error::ERROR,
                      "Auto-delete macro '" + nested->getName() +
                          "' passed to Macro::add for macro command '" + getName() +
                          "' - an auto-delete macro cannot be nested.");
        return;
    }
    commands.push_back(commandPtr);
}

Command* Macro::getCommandPtr(size_t index) const
{
    if (index >= commands.size()) {
        HALVIX_REPORT("getCommandPtr", Error::INVALID_ARGUMENT, Error::ERROR,
                      "Invalid index (" + std::to_string(index) + ") specified for macro command '" +
                          getName() + "'.");
        return nullptr;
    }
    return commands[index];
}

int Macro::myExecute()
{
    int result = 0;
    bool endReached = false;  // the run has taken the last command; stays set
    while (currentIndex < commands.size()) {
        Command* command = commands[currentIndex];
        // Advance first: the command may reset this macro (back to 0) or hand
        // it to another thread, which must resume after it.
        ++currentIndex;
        if (currentIndex >= commands.size()) {
            endReached = true;
        }
        const bool stopAfter = command->stopMacro();  // asked before it runs
        result = command->execute();
        if (stopAfter) {
            if (endReached) {
                break;  // nothing left to resume: the run is complete
            }
            // Paused: the macro may belong to another thread by now, so not a
            // single member is touched on the way out.
            return result;
        }
        if (result != 0 && !continueOnError) {
            break;
        }
    }
    if (autoDelete) {
        delete this;  // nothing of the macro may be used after this line
    }
    return result;
}

void Macro::myReset()
{
    for (Command* command : commands) {
        command->reset();
    }
    currentIndex = 0;
}

std::ostream& Macro::output(std::ostream& os) const
{
    Command::output(os);
    os << "Continue on error? = " << continueOnError << std::endl;
    os << "Auto delete? = " << autoDelete << std::endl;
    os << "Current index = " << currentIndex << std::endl;
    os << "Constituent commands:" << std::endl;
    for (const Command* command : commands) {
        command->output(os);
    }
    return os;
}

}  // namespace halvix::command
