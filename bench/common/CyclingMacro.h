// bench/common/CyclingMacro.h - a Macro that can be posted again and again.
//
// It rewinds itself at the end of each run on the Task's thread, so the
// writer can post it again without touching it (it only passes the pointer)
// and no allocation is measured. Post it again only once the Task is done
// with it: after its answer arrived, or after the Task has read a later one.
#ifndef HALVIX_BENCH_COMMON_CYCLINGMACRO_H
#define HALVIX_BENCH_COMMON_CYCLINGMACRO_H

#include <halvix/command/Macro.h>

#include <string>

namespace bench {

class CyclingMacro : public halvix::command::Macro
{
public:
    explicit CyclingMacro(const std::string& macroName) : Macro(macroName, false, false) {}

protected:
    int myExecute() override
    {
        const int result = Macro::myExecute();
        reset();
        return result;
    }
};

}  // namespace bench

#endif  // HALVIX_BENCH_COMMON_CYCLINGMACRO_H
