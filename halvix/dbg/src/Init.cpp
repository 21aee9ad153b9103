// _dbg_init: takes the trace options off the command line.
#include "halvix/dbg/dbg.h"

#include "halvix/dbg/src/TraceState.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char kMaskOption[] = "-debug=";
constexpr size_t kMaskOptionLength = sizeof kMaskOption - 1;

// Removes argv[index] from the first *argc entries.
void removeEntry(int* argc, char** argv, int index)
{
    for (int i = index; i < *argc - 1; ++i) {
        argv[i] = argv[i + 1];
    }
    --*argc;
}

// Applies one "-debug=" text. A text too long for the mask buffer is refused
// rather than fatal: a typo on the command line should not stop a service
// before it starts. Returns whether the mask was set.
bool applyMaskOption(const char* text)
{
    const size_t length = strlen(text);
    if (length >= _DBG_MAX_DOMAIN - 1) {
        fprintf(stderr,
                "dbg: \"-debug=\" option refused: its %zu characters exceed the limit of %d;"
                " the domain mask is not changed by it\n",
                length, _DBG_MAX_DOMAIN - 2);
        return false;
    }
    _dbg_set_mask(text);
    return true;
}

}  // namespace

extern "C" void _dbg_init(int* argc, char** argv)
{
    _dbg_function = "";
    _dbg_filename = "";
    _dbg_line = 0;
    _dbg_level.store(DBG_LEVEL_WARN, std::memory_order_relaxed);
    _dbg_mutex_init();
    halvix::dbg::resetLastPrinted();

    // A refused mask counts as no mask: the process then traces every
    // domain, as it would without the option. The user asked for tracing,
    // and the note on standard error says why it is not filtered; falling
    // back to an empty mask would silence the very domains asked for.
    bool maskGiven = false;
    int index = 0;
    while (index < *argc) {
        const char* entry = argv[index];
        if (entry[0] != '-') {
            ++index;
            continue;
        }
        if (strcmp(entry, "-trace") == 0) {
            _dbg_level.store(DBG_LEVEL_TRACE, std::memory_order_relaxed);
        } else if (strcmp(entry, "-warn") == 0) {
            _dbg_level.store(DBG_LEVEL_WARN, std::memory_order_relaxed);
        } else if (strcmp(entry, "-log") == 0) {
            _dbg_level.store(DBG_LEVEL_LOG, std::memory_order_relaxed);
        } else if (strncmp(entry, kMaskOption, kMaskOptionLength) == 0) {
            if (applyMaskOption(entry + kMaskOptionLength)) {
                maskGiven = true;
            }
        } else {
            ++index;
            continue;
        }
        removeEntry(argc, argv, index);
    }
    if (!maskGiven) {
        _dbg_set_mask("all");
    }
}
