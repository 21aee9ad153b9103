// _dbg_init with argument vectors made from the input. The count shrinks by
// exactly the recognised options ("-warn", "-trace", "-log", "-debug=..."),
// the other entries stay, the same pointers in their order; entries at and
// behind the count are never touched nor obeyed; the level is the last level
// option's (else WARN), the mask the reference split of the last accepted
// "-debug=" text (else "all"); a text of 255 characters or more is refused
// with one line on standard error, and nothing else goes there.
// Input: arguments separated by '\n'; one starting with byte 0x01 stands for
// "-debug=" and 240 + (second byte % 32) copies of the third byte ('a' if
// absent), so texts on both sides of the length limit come up often.
// HALVIX_FUZZ_KEEP_STDERR=1 leaves standard error uncaptured and unchecked,
// e.g. to see an assertion's message while reproducing a crash.
#include <halvix/dbg/dbg.h>

#include "FuzzSupport.h"

#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int capturedStderr = -1;  // a memory file that receives standard error during a call
int realStderr = -1;

std::vector<std::string> argumentsOf(const std::string& input)
{
    std::vector<std::string> arguments;
    for (size_t begin = 0; begin <= input.size();) {
        const size_t end = std::min(input.find('\n', begin), input.size());
        std::string argument = input.substr(begin, end - begin);
        if (!argument.empty() && argument[0] == '\x01') {
            const size_t length =
                240 + (argument.size() > 1 ? static_cast<unsigned char>(argument[1]) % 32 : 0);
            const char filler = argument.size() > 2 && argument[2] != '\0' ? argument[2] : 'a';
            argument = "-debug=" + std::string(length, filler);
        }
        arguments.push_back(argument.c_str());  // an argument ends at its first NUL
        begin = end + 1;
    }
    return arguments;
}

[[noreturn]] void fail(const char* what)
{
    if (realStderr >= 0) {
        dup2(realStderr, 2);
    }
    halvix::fuzz::fail("dbg_init", what);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* keep = std::getenv("HALVIX_FUZZ_KEEP_STDERR");
    if (keep == nullptr || std::strcmp(keep, "1") != 0) {
        capturedStderr = memfd_create("dbg_init-stderr", 0);
        realStderr = dup(2);
        // Sanitizer reports keep going to the real standard error.
        __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(realStderr)));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<std::string> arguments =
        argumentsOf(std::string(reinterpret_cast<const char*>(data), size));
    std::vector<std::string> beyond = {"-trace", "-debug=planted"};
    std::vector<char*> argv;
    for (const std::string& a : arguments) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    for (std::string& b : beyond) {
        argv.push_back(&b[0]);
    }
    argv.push_back(nullptr);
    const std::vector<char*> before = argv;
    int argc = static_cast<int>(arguments.size());

    // What the call must do.
    std::vector<char*> kept;
    _dbgLevel_t level = DBG_LEVEL_WARN;
    std::vector<std::string> mask = {"all"};  // replaced by every accepted "-debug=", even an empty one
    size_t refused = 0;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if (a == "-warn" || a == "-trace" || a == "-log") {
            level = a == "-warn" ? DBG_LEVEL_WARN : a == "-trace" ? DBG_LEVEL_TRACE : DBG_LEVEL_LOG;
        } else if (a.compare(0, 7, "-debug=") != 0) {
            kept.push_back(before[i]);
        } else if (a.size() - 7 > halvix::fuzz::kLongestMask) {
            ++refused;
        } else {
            mask = halvix::fuzz::referenceMask(a.substr(7));
        }
    }

    // The descriptors share one file offset: rewind it with the truncation.
    if (capturedStderr >= 0 && (std::fflush(stderr) != 0 || ftruncate(capturedStderr, 0) != 0 ||
                                lseek(capturedStderr, 0, SEEK_SET) != 0 || dup2(capturedStderr, 2) < 0)) {
        fail("cannot capture standard error");
    }
    _dbg_init(&argc, argv.data());
    std::string notes;
    if (capturedStderr >= 0) {
        std::fflush(stderr);
        dup2(realStderr, 2);
        struct stat written = {};
        fstat(capturedStderr, &written);
        notes.resize(static_cast<size_t>(written.st_size));
        if (pread(capturedStderr, &notes[0], notes.size(), 0) != static_cast<ssize_t>(notes.size())) {
            fail("cannot read the captured standard error");
        }
    }

    if (argc != static_cast<int>(kept.size()) || !std::equal(kept.begin(), kept.end(), argv.begin())) {
        fail("the remaining entries are not the non-options in their order");
    }
    if (!std::equal(before.begin() + arguments.size(), before.end(), argv.begin() + arguments.size())) {
        fail("an entry at or behind the count was touched");
    }
    if (_dbg_level.load() != level) {
        fail("wrong level");
    }
    _dbg_lock();
    const bool sameMask = _dbg_mask == mask;
    _dbg_unlock();
    if (!sameMask) {
        fail("wrong mask");
    }
    if (capturedStderr >= 0 &&
        (static_cast<size_t>(std::count(notes.begin(), notes.end(), '\n')) != refused ||
         (refused > 0 && notes.compare(0, 5, "dbg: ") != 0))) {
        fail("not one note per refused mask option on standard error");
    }
    return 0;
}
