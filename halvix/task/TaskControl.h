// halvix/task/TaskControl.h - the interface of an active object.
//
// TaskControl is what code needs to steer a thread of execution that owns a
// loop of its own: start it, ask it to end, ask whether it is ending, and
// print it, plus the three hooks that shape what the thread runs. It has no
// data; Task (halvix/task/Task.h) is the library's implementation.
//
// It declares the whole virtual interface of Task, in the order Task uses:
// destructor, start, terminate, waitingToTerminate, output, then the hooks
// initialize, run, finalize. Declaring all of them here, rather than only the
// control operations, keeps the layout of every active object's virtual
// table fixed by this base, so a derived Task overrides the same slots
// whether it is handled as a TaskControl or as a Task. The hooks are
// protected: only the thread of execution itself calls them.
#ifndef HALVIX_TASK_TASKCONTROL_H
#define HALVIX_TASK_TASKCONTROL_H

#include <halvix/Export.h>
#include <halvix/os/osTask.h>

#include <ostream>

namespace halvix::task {

class HALVIX_API TaskControl
{
public:
    virtual ~TaskControl();

    // Creates the thread of execution, which runs initialize, run(arg) and
    // finalize. False when it is already running.
    virtual bool start(const os::osTaskOptions_t* options, void* arg, bool autoDelete) = 0;

    // Asks the thread to end; with waitForTermination, also waits for it.
    virtual bool terminate(bool waitForTermination) = 0;

    // True from a termination request until the thread has ended.
    virtual bool waitingToTerminate() = 0;

    // Prints the object's state.
    virtual std::ostream& output(std::ostream& os) const = 0;

protected:
    // Run first on the new thread.
    virtual void initialize() = 0;
    // The thread's work; its value is the exit status.
    virtual int run(void* arg) = 0;
    // Run last on the thread, always, with the final exit status.
    virtual void finalize(const int& exitStatus) = 0;
};

}  // namespace halvix::task

#endif  // HALVIX_TASK_TASKCONTROL_H
