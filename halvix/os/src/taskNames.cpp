// Thread names for the OS: off by default, switched by osTaskShowNames.
#include "halvix/os/src/taskNames.h"

#include "halvix/os/osTask.h"
#include "halvix/utils/Utf8.h"

#include <pthread.h>

#include <atomic>
#include <cstring>

namespace halvix::os {

namespace {

// The kernel keeps 15 bytes of a thread's name (16 with the NUL).
constexpr std::size_t OS_NAME_BYTES = 15;

// Relaxed: a switch read on its own; a thread started as it flips may go
// either way, as osTask.h says. Constant-initialised, never destroyed.
std::atomic<bool> showNames{false};

}  // namespace

void osTaskShowNames(bool on)
{
    showNames.store(on, std::memory_order_relaxed);
}

void showNameToOs(const char* name)
{
    if (!showNames.load(std::memory_order_relaxed) || name[0] == '\0') {
        return;
    }
    char cut[OS_NAME_BYTES + 1] = "";
    const std::size_t length = utils::utf8PrefixLength(name, std::strlen(name), OS_NAME_BYTES);
    // The buffer is zero-filled and one byte longer than the cut: it stays terminated.
    std::memcpy(cut, name, length);  // NOLINT(bugprone-not-null-terminated-result)
    // From the thread itself: no race with the thread's end. A refusal
    // (none is documented for a name of this length) leaves the old name.
    pthread_setname_np(pthread_self(), cut);
}

}  // namespace halvix::os
