// MacroInProgress: the name and start of the macro a Task runs now, read from other threads.
#include "halvix/task/MacroInProgress.h"

#include "halvix/utils/Utf8.h"

#include <cstring>

namespace halvix::task {

namespace {

// A reader overlapping this many writes in a row gives up.
constexpr int READ_TRIES = 64;

}  // namespace

void MacroInProgress::begin(const std::string& name, int64_t start)
{
    const std::size_t length = utils::utf8PrefixLength(name.data(), name.size(), NAME_BYTES);
    // A busy Task mostly runs the macro it ran before: the words then hold
    // the name already, and only the start changes.
    const bool sameName = ownCopy[length] == '\0' && std::memcmp(ownCopy, name.data(), length) == 0;
    if (!sameName) {
        std::memset(ownCopy, 0, sizeof(ownCopy));
        std::memcpy(ownCopy, name.data(), length);
    }
    const uint32_t before = sequence.load(std::memory_order_relaxed);  // only the owner writes it
    sequence.store(before + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);  // odd before any word changes
    for (std::size_t word = 0; word < WORDS && !sameName; ++word) {
        uint64_t value;
        std::memcpy(&value, ownCopy + word * 8, 8);
        words[word].store(value, std::memory_order_relaxed);
    }
    startTicks.store(start, std::memory_order_relaxed);
    sequence.store(before + 2, std::memory_order_release);  // the words before the even value
}

void MacroInProgress::end()
{
    const uint32_t before = sequence.load(std::memory_order_relaxed);
    sequence.store(before + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    startTicks.store(0, std::memory_order_relaxed);
    sequence.store(before + 2, std::memory_order_release);
}

bool MacroInProgress::read(std::string& name, int64_t& start) const
{
    for (int tries = 0; tries < READ_TRIES; ++tries) {
        const uint32_t first = sequence.load(std::memory_order_acquire);  // pairs with the owner's release
        if (first % 2 != 0) {
            continue;
        }
        char copy[WORDS * 8];
        for (std::size_t word = 0; word < WORDS; ++word) {
            const uint64_t value = words[word].load(std::memory_order_relaxed);
            std::memcpy(copy + word * 8, &value, 8);
        }
        const int64_t began = startTicks.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);  // the words before the second look
        if (sequence.load(std::memory_order_relaxed) != first) {
            continue;
        }
        if (began == 0) {
            return false;
        }
        copy[sizeof(copy) - 1] = '\0';
        name.assign(copy);
        start = began;
        return true;
    }
    return false;
}

}  // namespace halvix::task
