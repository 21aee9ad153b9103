// halvix/utils/Utf8.h - cutting text to a byte limit without splitting a character.
//
// Names that the library copies into fixed buffers (the macro a Task runs
// now, timeline events, thread names for the OS) are cut to a byte limit.
// utf8PrefixLength cuts them the same way every time: at most `limit` bytes,
// and never inside a UTF-8 sequence, so a cut name stays valid UTF-8 when the
// whole was. Text that is not UTF-8 is cut at the limit.
#ifndef HALVIX_UTILS_UTF8_H
#define HALVIX_UTILS_UTF8_H

#include <cstddef>

namespace halvix::utils {

// The length of the longest prefix of text[0, length) of at most `limit`
// bytes that does not end inside a multi-byte UTF-8 character.
inline std::size_t utf8PrefixLength(const char* text, std::size_t length, std::size_t limit)
{
    if (length <= limit) {
        return length;
    }
    std::size_t cut = limit;
    // Step back over continuation bytes (10xxxxxx) to the lead byte of the
    // character that the limit would split; at most three of them.
    std::size_t back = 0;
    while (cut > 0 && back < 3 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
        ++back;
    }
    if ((static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        return limit;  // not UTF-8: a plain cut
    }
    return cut;
}

}  // namespace halvix::utils

#endif  // HALVIX_UTILS_UTF8_H
