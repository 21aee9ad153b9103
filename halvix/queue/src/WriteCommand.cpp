// WriteCommand: hands the macro that runs it on to another queue.
#include "halvix/queue/WriteCommand.h"

#include "halvix/error/Error.h"
#include "halvix/error/Report.h"

namespace halvix::queue {

using error::Error;

WriteCommand::WriteCommand(Queue* targetPtr, command::Macro* writtenPtr, int timeoutMs)
    : Command("WriteCommand"), queuePtr(targetPtr), macroPtr(writtenPtr), timeout(timeoutMs)
{
    if (targetPtr == nullptr) {
        HALVIX_THROW("WriteCommand", Error::NULL_PTR, Error::ERROR,
                     "Null pointer (queuePtr) passed to WriteCommand::WriteCommand.");
    }
    if (writtenPtr == nullptr) {
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
