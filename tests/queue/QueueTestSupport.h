// Macros for queue tests: named, optionally auto-delete, counting their own
// destruction so a test can tell whether a queue deleted them.
#ifndef HALVIX_TESTS_QUEUE_QUEUETESTSUPPORT_H
#define HALVIX_TESTS_QUEUE_QUEUETESTSUPPORT_H

#include <halvix/command/Macro.h>

#include <atomic>
#include <string>

namespace halvix::test {

class CountedMacro : public command::Macro
{
public:
    CountedMacro(const std::string& macroName, bool deletesItself, std::atomic<int>* destructions = nullptr)
        : Macro(macroName, false, deletesItself), destroyed(destructions)
    {
    }
    ~CountedMacro() override
    {
        if (destroyed != nullptr) {
            destroyed->fetch_add(1);
        }
    }

private:
    std::atomic<int>* destroyed;
};

}  // namespace halvix::test

#endif  // HALVIX_TESTS_QUEUE_QUEUETESTSUPPORT_H
