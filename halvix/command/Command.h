// halvix/command/Command.h - the unit of work of the active-object layer.
//
// A Command is a named piece of work with an integer result: 0 means success,
// any other value means failure. Commands are grouped into Macros
// (halvix/command/Macro.h), which queues carry and tasks execute. The library
// offers two trivial ones, NoOpCommand and SleepCommand; applications derive
// their own and implement myExecute.
//
// Contract:
//   - execute() and reset() are the public entry points; they call the
//     virtual hooks myExecute() and myReset(), which derived classes override.
//   - execute() does not touch the object after myExecute() has returned: a
//     macro with auto delete may have deleted itself by then, so a caller must
//     not touch such a command afterwards either.
//   - stopMacro() is asked by a macro before the command executes: true makes
//     the macro pause after this command, to resume with the next one on its
//     next execute().
//   - Commands have no lock. One thread at a time executes, resets or changes
//     a command; queues hand commands (inside macros) from thread to thread.
#ifndef HALVIX_COMMAND_COMMAND_H
#define HALVIX_COMMAND_COMMAND_H

#include <halvix/Export.h>

#include <ostream>
#include <string>

namespace halvix::command {

class HALVIX_API Command
{
public:
    explicit Command(const std::string& name);

    // Abstract even for classes that override nothing else; the body exists
    // for the derived destructors.
    virtual ~Command() = 0;

    // Whether a macro executing this command must stop after it. Default false.
    virtual bool stopMacro() const;

    // "Name = '<name>'" and a line end.
    virtual std::ostream& output(std::ostream& os) const;

    // Runs myExecute() and returns its result unchanged (0 success, else
    // failure). The object may no longer exist when this returns.
    int execute();

    // Brings the command back to its initial state (myReset()).
    void reset();

    const std::string& getName() const { return name; }

protected:
    // The command's work: 0 for success, any other value for failure.
    virtual int myExecute() = 0;

    // Back to the initial state; the default has nothing to restore.
    virtual void myReset();

private:
    std::string name;  // fixed at construction
};

// Prints the command through its virtual output().
HALVIX_API std::ostream& operator<<(std::ostream& os, const Command& command);

}  // namespace halvix::command

#endif  // HALVIX_COMMAND_COMMAND_H
