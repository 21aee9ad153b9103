// getting_started: a Task, a Queue in front of it, a macro of two commands, a clean shutdown.
#include <halvix/halvix.h>

#include <iostream>

using namespace halvix;

// A command is one unit of work; execute() returns 0 for success.
class Say : public command::Command
{
public:
    explicit Say(const char* line) : Command("Say"), text(line) {}

protected:
    int myExecute() override
    {
        std::cout << text << " (on " << task::Task::getMyName() << ")" << std::endl;
        return 0;
    }

private:
    const char* text;
};

int main(int argc, char** argv)
{
    _dbg_init(&argc, argv);                      // takes -trace, -log, -debug=... off the command line
    queue::Queue requests("requests", 16);       // a named queue anyone may write to
    task::Task worker("worker", &requests, 16);  // a Task whose event queue takes what requests gets
    worker.start(nullptr, nullptr, false);       // its thread now waits for macros

    auto* greeting = new command::Macro("greeting", false, true);  // stop on failure; delete itself when done
    greeting->add(new Say("hello"));
    greeting->add(new Say("world"));
    requests.write(greeting, -1);  // from here on the macro belongs to the worker's thread

    worker.removeQueue(&requests);  // no more work from requests
    worker.terminate(true);         // queued behind the greeting; returns once the thread has ended
    std::cout << "worker ended with exit status " << worker.getExitStatus() << std::endl;
    return worker.getExitStatus();
}
