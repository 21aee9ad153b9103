// SleepCommand: suspends the thread that executes it for a number of microseconds.
#include "halvix/command/SleepCommand.h"

#include <unistd.h>

namespace halvix::command {

SleepCommand::SleepCommand(int microseconds) : Command("Sleep"), sleepTimeUs(microseconds) {}

SleepCommand::~SleepCommand() = default;

int SleepCommand::myExecute()
{
    // Clamp before the unsigned conversion: a negative count means "no sleep"
    // (see the header). An early wake-up by a signal is accepted as it is.
    const useconds_t us = sleepTimeUs > 0 ? static_cast<useconds_t>(sleepTimeUs) : 0;
    (void)usleep(us);
    return 0;
}

}  // namespace halvix::command
