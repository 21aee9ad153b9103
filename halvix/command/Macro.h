// halvix/command/Macro.h - an ordered, resumable list of commands.
//
// A Macro is itself a Command. It owns its commands and executes them one
// after another, remembering how far it got, so that a run paused by a
// stopping command can be resumed later, possibly on another thread after the
// macro was handed on through a queue. Macros are what queues carry, tasks
// execute and timers post.
//
// One run (execute()):
//   - starts at the current index and, for each command, first advances the
//     index past it, then asks its stopMacro(), then executes it;
//   - a stopping command before the end of the list ends the run with that
//     command's result; the macro is kept (even with auto delete) and the next
//     execute() resumes with the command after it. Nothing of the macro is
//     touched after such a command returns, so the command may already have
//     handed the macro to another thread;
//   - a failing command (non-zero) ends the run unless continueOnError;
//   - the run's value is the result of the last command executed, 0 if none;
//   - at the end of a run that was not paused (list exhausted, failure, or a
//     stopping command that was the last one) an auto-delete macro deletes
//     itself: the caller must not touch it afterwards;
//   - an exception from a command leaves at once: no further command runs,
//     the macro is not deleted and the index points past the thrower.
// A completed run leaves the index at the end: executing again runs nothing
// and returns 0 (and deletes an auto-delete macro). reset() rewinds to 0 and
// resets every command; a command may reset its own macro while executing,
// which leaves the macro at index 0.
//
// Ownership and lifetime: add() takes ownership; the destructor deletes every
// command, whatever the auto-delete flag. An auto-delete macro cannot be
// nested in another macro: it would delete itself at the end of its run and
// then be deleted again by the outer macro's destructor, so add() refuses one
// (see add()).
//
// Concurrency: no lock; one thread at a time executes, resets or changes a
// macro (queues hand it over).
#ifndef HALVIX_COMMAND_MACRO_H
#define HALVIX_COMMAND_MACRO_H

#include <halvix/Export.h>
#include <halvix/command/Command.h>

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace halvix::command {

class HALVIX_API Macro : public Command
{
public:
    // An empty macro at index 0.
    Macro(const std::string& name, bool continueOnError, bool autoDelete);
    // A macro owns raw command pointers; a copy would delete them twice.
    Macro(const Macro&) = delete;
    Macro& operator=(const Macro&) = delete;

    // Deletes every command in list order.
    ~Macro() override;

    // Appends the command and takes ownership of it. Refused with a report
    // (severity ERROR, not thrown), leaving the list unchanged:
    //   - a null pointer ("NullPtr");
    //   - a macro with auto delete set ("InvalidArgument"). The refused macro
    //     stays its caller's to delete. Nesting one would end in a double
    //     delete (it deletes itself after its run, then the outer macro
    //     deletes it again), a fault that shows far from its cause, so it is
    //     stopped here where the mistake is made.
    void add(Command* commandPtr);

    // The number of commands in the list.
    size_t size() const { return commands.size(); }

    // The command at `index`, still owned by the macro. An index at or past
    // size() is reported ("InvalidArgument", ERROR, not thrown) and gives null.
    Command* getCommandPtr(size_t index) const;

    bool isAutoDelete() const { return autoDelete; }

    // The command's name line, then "Continue on error? = ", "Auto delete? = ",
    // "Current index = " (values in the stream's current format),
    // "Constituent commands:" and each command's own output.
    std::ostream& output(std::ostream& os) const override;

protected:
    // One run, as described above.
    int myExecute() override;

    // Resets every command in list order, then rewinds the index to 0.
    void myReset() override;

private:
    bool continueOnError;            // go on after a failing command
    bool autoDelete;                 // delete this macro at the end of a run
    std::vector<Command*> commands;  // owned, in execution order, never null
    size_t currentIndex = 0;         // next command to execute
};

}  // namespace halvix::command

#endif  // HALVIX_COMMAND_MACRO_H
