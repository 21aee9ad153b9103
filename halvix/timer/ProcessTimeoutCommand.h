// halvix/timer/ProcessTimeoutCommand.h - the command that delivers a timeout.
//
// The single command of a Timer's "Process Timeout Macro". When the queue's
// consumer executes the macro, the command checks that the timeout is still
// current - its Timer is registered under the same id and pointer, and has
// not been stopped since the start it carries - and only then calls the
// Timer's handleTimeout(). Late and orphaned deliveries are dropped without a
// report. Result: 0 when handleTimeout was called, 1 when dropped.
#ifndef HALVIX_TIMER_PROCESSTIMEOUTCOMMAND_H
#define HALVIX_TIMER_PROCESSTIMEOUTCOMMAND_H

#include <halvix/Export.h>
#include <halvix/command/Command.h>

#include <atomic>

namespace halvix::timer {

class Timer;

class HALVIX_API ProcessTimeoutCommand : public command::Command
{
public:
    // A null timer is reported and thrown ("NullPtr").
    explicit ProcessTimeoutCommand(Timer* timerPtr);
    ~ProcessTimeoutCommand() override;

    // The generation number of the Timer's latest start.
    void setStartId(unsigned int startId);

    // Always true (the command is its macro's last).
    bool stopMacro() const override;

protected:
    int myExecute() override;

private:
    Timer* timerPtr;  // dereferenced only once confirmed registered
    unsigned int timerId;
    // Set by the controlling thread at each start, read by the consumer.
    std::atomic<unsigned int> startId;
};

}  // namespace halvix::timer

#endif  // HALVIX_TIMER_PROCESSTIMEOUTCOMMAND_H
