// TerminateTaskMacro: the termination request that writes itself into a Task's event queue.
#include "halvix/task/TerminateTaskMacro.h"

#include "halvix/command/NoOpCommand.h"
#include "halvix/error/Error.h"
#include "halvix/error/Report.h"
#include "halvix/queue/WriteCommand.h"

namespace halvix::task {

using error::Error;

TerminateTaskMacro::TerminateTaskMacro(queue::Queue* eventQueuePtr)
    : Macro("TerminateTaskMacro", true, true), taskEventQueuePtr(eventQueuePtr)
{
    if (eventQueuePtr == nullptr) {
        HALVIX_THROW("TerminateTaskMacro", Error::NULL_PTR, Error::ERROR,
                     "Null pointer (taskEventQueuePtr) passed to TerminateTaskMacro::TerminateTaskMacro.");
    }
    // Without a wait: a full event queue makes terminate fail at once rather
    // than block the controlling thread behind the Task's backlog.
    add(new queue::WriteCommand(eventQueuePtr, this, 0));
    add(new command::NoOpCommand());
}

TerminateTaskMacro::~TerminateTaskMacro() = default;

}  // namespace halvix::task
