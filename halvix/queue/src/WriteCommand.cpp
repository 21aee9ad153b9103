// WriteCommand: hands the macro that runs it on to another queue.
#include "halvix/queue/WriteCommand.h"

#include "halvix/error/Error.h"
#include "halvix/error/Report.h"

namespace halvix::queue {

using error::Error;

WriteCommand::WriteCommand(Queue* queuePtr, command::Macro* macroPtr, int timeout)
    : Command("WriteCommand"), queuePtr(queuePtr), macroPtr(macroPtr), timeout(timeout)
{
    if (queuePtr == nullptr) {
        HALVIX_THROW("WriteCommand", Error::NULL_PTR, Error::ERROR,
                     "Null pointer (queuePtr) passed to WriteCommand::WriteCommand.");
    }
    if (macroPtr == nullptr) {
        HALVIX_THROW("WriteCommand", Error::NULL_PTR, Error::ERROR,
                     "Null pointer (macroPtr) passed to WriteCommand::WriteCommand.");
    }
}

WriteCommand::~WriteCommand() = default;

bool WriteCommand::stopMacro() const
{
    return true;
}

int WriteCommand::myExecute()
{
    return queuePtr->write(macroPtr, timeout) ? 0 : 1;
}

}  // namespace halvix::queue
