// _dbg_init with argument vectors made from the input. Checks:
//   - the count shrinks exactly by the recognised options ("-warn", "-trace",
//     "-log", "-debug=..."), and the vector keeps the other entries, the very
//     same pointers, in their order;
//   - entries at and behind the count are never touched (two options are
//     planted there, which must not take effect either);
//   - the level is the last level option's, WARN without one;
//   - the mask is the reference split of the last accepted "-debug=" text,
//     "all" without one; a text of 255 characters or more is refused, with
//     one line on standard error per refused option and nothing else there.
//
// Input format: arguments separated by '\n'. An argument that starts with the
// byte 0x01 stands for a long mask option: "-debug=" followed by
// 240 + (second byte % 32) copies of the third byte ('a' if absent), so that
// texts on both sides of the length limit, separator-only ones included,
// come up often.
//
// Standard error is captured around each call. Set HALVIX_FUZZ_KEEP_STDERR=1
// to leave it alone (the check of the notes is then skipped), e.g. to see
// the message of an assertion while reproducing a crash.
#include <halvix/dbg/dbg.h>

#include "MaskReference.h"

#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int capturedStderr = -1;  // a memory file that receives standard error during a call
int realStderr = -1;

std::vector<std::string> argumentsOf(const std::string& input)
{
    std::vector<std::string> arguments;
    size_t begin = 0;
    while (begin <= input.size()) {
        size_t end = input.find('\n', begin);
        if (end == std::string::npos) {
            end = input.size();
        }
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

bool isLevelOption(const std::string& a)
{
    return a == "-warn" || a == "-trace" || a == "-log";
}

bool isMaskOption(const std::string& a)
{
    return a.compare(0, 7, "-debug=") == 0;
}

std::string readCaptured()
{
    std::string text;
    char buffer[4096];
    off_t offset = 0;
    ssize_t got;
    while ((got = pread(capturedStderr, buffer, sizeof buffer, offset)) > 0) {
        text.append(buffer, static_cast<size_t>(got));
        offset += got;
    }
    return text;
}

[[noreturn]] void fail(const char* what)
{
    if (realStderr >= 0) {
        dup2(realStderr, 2);
    }
    std::fprintf(stderr, "dbg_init: %s\n", what);
    std::abort();
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
        if (a == "-warn") {
            level = DBG_LEVEL_WARN;
        } else if (a == "-trace") {
            level = DBG_LEVEL_TRACE;
        } else if (a == "-log") {
            level = DBG_LEVEL_LOG;
        } else if (isMaskOption(a)) {
            if (a.size() - 7 > halvix::fuzz::kLongestMask) {
                ++refused;
            } else {
                mask = halvix::fuzz::referenceMask(a.substr(7));
            }
        }
        if (!isLevelOption(a) && !isMaskOption(a)) {
            kept.push_back(before[i]);
        }
    }

    if (capturedStderr >= 0) {
        std::fflush(stderr);
        // The descriptors share one file offset: rewind it with the truncation.
        if (ftruncate(capturedStderr, 0) != 0 || lseek(capturedStderr, 0, SEEK_SET) != 0 ||
            dup2(capturedStderr, 2) < 0) {
            fail("cannot capture standard error");
        }
    }
    _dbg_init(&argc, argv.data());
    std::string notes;
    if (capturedStderr >= 0) {
        std::fflush(stderr);
        dup2(realStderr, 2);
        notes = readCaptured();
    }

    if (argc != static_cast<int>(kept.size())) {
        fail("the count is not the number of entries that are no options");
    }
    for (size_t i = 0; i < kept.size(); ++i) {
        if (argv[i] != kept[i]) {
            fail("the remaining entries are not the non-options in their order");
        }
    }
    for (size_t i = arguments.size(); i < argv.size(); ++i) {
        if (argv[i] != before[i]) {
            fail("an entry at or behind the count was touched");
        }
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
    if (capturedStderr >= 0) {
        size_t lines = 0;
        for (char c : notes) {
            lines += c == '\n';
        }
        if (lines != refused || (refused > 0 && notes.compare(0, 5, "dbg: ") != 0)) {
            fail("not one note per refused mask option on standard error");
        }
    }
    return 0;
}
