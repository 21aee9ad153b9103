// DeleteProcessTimeoutMacroCommand: deletes a destroyed timer's macro on its consumer's thread.
#include "halvix/timer/DeleteProcessTimeoutMacroCommand.h"

#include "halvix/timer/src/ProcessTimeoutMacro.h"

#include "halvix/error/Error.h"
#include "halvix/error/Report.h"

namespace halvix::timer {

using error::Error;

DeleteProcessTimeoutMacroCommand::DeleteProcessTimeoutMacroCommand(unsigned int deletedTimerId,
                                                                   command::Macro* macroPtr)
    : Command("DeleteProcessTimeoutMacroCommand"), timerId(deletedTimerId), processTimeoutMacroPtr(macroPtr)
{
    if (macroPtr == nullptr) {
        HALVIX_THROW("DeleteProcessTimeoutMacroCommand", Error::NULL_PTR, Error::ERROR,
                     "Null pointer (processTimeoutMacroPtr) passed to "
                     "DeleteProcessTimeoutMacroCommand::DeleteProcessTimeoutMacroCommand.");
    }
}

DeleteProcessTimeoutMacroCommand::~DeleteProcessTimeoutMacroCommand()
{
    // Not executed: its queue was destroyed first and deleted this command's
    // macro; the Process Timeout Macro goes with it.
    delete processTimeoutMacroPtr;
}

int DeleteProcessTimeoutMacroCommand::myExecute()
{
    // A delivery of a Timer's macro may still hold it (on another consumer
    // of a forwarding queue): it then deletes the macro as it ends.
    if (auto* deliveries = dynamic_cast<ProcessTimeoutMacro*>(processTimeoutMacroPtr)) {
        deliveries->release();
    } else {
        delete processTimeoutMacroPtr;
    }
    processTimeoutMacroPtr = nullptr;
    return 0;
}

}  // namespace halvix::timer
