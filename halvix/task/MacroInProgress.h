// halvix/task/MacroInProgress.h - the macro a Task runs now, for readers on
// other threads.
//
// A Task's thread publishes the name of each macro as it begins it and the
// time it began, while observation is on (halvix/observe). The name is a copy
// in a fixed buffer, so a reader never touches the macro, which may delete
// itself at the end of its run.
//
// Contract:
//   - begin and end are called by one thread, the owner; read by any thread.
//   - Memory ordering: a sequence lock. The owner makes the sequence odd,
//     writes, and makes it even again (release); a reader takes a copy
//     between two equal even sequence values (acquire), so it never sees
//     half of one name and half of another. Every word is an atomic, so
//     concurrent reads and writes are never a data race.
//   - A reader never waits for the owner: after a few tries that overlap a
//     write it gives up and reports the Task idle for that read.
#ifndef HALVIX_TASK_MACROINPROGRESS_H
#define HALVIX_TASK_MACROINPROGRESS_H

#include <halvix/Export.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace halvix::task {

class HALVIX_API MacroInProgress
{
public:
    // Longest name kept, in bytes; longer names are cut (utils/Utf8.h).
    static constexpr std::size_t NAME_BYTES = 63;

    // Owner: the macro `name` began at `start` (observed ticks, > 0).
    void begin(const std::string& name, int64_t start);
    // Owner: no macro runs.
    void end();
    // The owner's copy of the name, as begin left it (owner only).
    const char* ownName() const { return ownCopy; }

    // Any thread: true with the name and start of the macro running now;
    // false when none runs.
    bool read(std::string& name, int64_t& start) const;

private:
    static constexpr std::size_t WORDS = (NAME_BYTES + 1 + 7) / 8;

    std::atomic<uint32_t> sequence{0};     // odd while the owner writes
    std::atomic<int64_t> startTicks{0};    // 0: idle
    std::atomic<uint64_t> words[WORDS]{};  // the NUL-terminated name, 8 bytes a word
    char ownCopy[WORDS * 8] = "";          // owner only
};

}  // namespace halvix::task

#endif  // HALVIX_TASK_MACROINPROGRESS_H
