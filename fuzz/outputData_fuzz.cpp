// outputData over random buffers and lengths, against a reference formatter
// written from its contract (16 bytes a line, offsets in lower-case hex of at
// least four digits, three characters per byte, the hex column padded to 48,
// printable bytes shown, others as '.'). When the input also asks for odd
// format settings on the stream beforehand, the text is not compared; then
// the dump must still end with the documented settings (decimal, left
// adjustment, blank fill) and leave the other flags as they were.
//
// Input: byte 0 chooses the length (all bytes, fewer, zero or negative, a
// null block, or at most 39 bytes), byte 1 its parameter, byte 2 the stream's
// format settings beforehand; the rest is the data.
//
// Dumps past offset 0xffff, where the offsets outgrow four digits, take
// 64 KiB each: too slow to fuzz, so one is compared once at start-up.
#include <halvix/utils/Utils.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ios>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string referenceDump(const unsigned char* bytes, int length)
{
    std::string out;
    char piece[32];
    for (int first = 0; first < length; first += 16) {
        const int last = std::min(first + 15, length - 1);
        std::snprintf(piece, sizeof piece, "%04x-%04x: ", first, last);
        out += piece;
        std::string chars;
        for (int i = first; i <= last; ++i) {
            static const char digits[] = "0123456789abcdef";
            out += digits[bytes[i] >> 4];
            out += digits[bytes[i] & 0xf];
            out += ' ';
            chars += std::isprint(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
        }
        out.append(static_cast<size_t>(3 * (16 - (last - first + 1))), ' ');
        out += chars;
        out += '\n';
    }
    return out;
}

[[noreturn]] void fail(const char* what, int length)
{
    std::fprintf(stderr, "outputData: %s (length %d)\n", what, length);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::vector<unsigned char> block(0x10000 + 40);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<unsigned char>(i * 7);
    }
    std::ostringstream os;
    std::outputData(os, block.data(), static_cast<int>(block.size()));
    if (os.str() != referenceDump(block.data(), static_cast<int>(block.size()))) {
        fail("a dump past offset 0xffff differs from the reference", static_cast<int>(block.size()));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) {
        return 0;
    }
    const uint8_t mode = data[0] % 5;
    const uint8_t parameter = data[1];
    const uint8_t settings = data[2];
    std::vector<unsigned char> block(data + 3, data + size);
    int length = static_cast<int>(block.size());
    bool nullBlock = false;
    switch (mode) {
    case 0:
        break;
    case 1:  // fewer bytes than there are
        length -= parameter % (length + 1);
        break;
    case 2:  // nothing to dump
        length = -static_cast<int>(parameter);
        break;
    case 3:
        nullBlock = true;
        length = parameter;
        break;
    default:  // short blocks exercise the padding of the last line
        length = std::min(length, static_cast<int>(parameter % 40));
        break;
    }

    std::ostringstream os;
    // Odd settings a caller's stream may have: the dump must cope with them.
    const bool odd = (settings & 0x80) != 0;
    if (odd) {
        if (settings & 1)
            os << std::hex;
        if (settings & 2)
            os << std::uppercase;
        if (settings & 4)
            os << std::showbase;
        if (settings & 8)
            os << std::internal;
        if (settings & 16)
            os.fill('*');
        if (settings & 32)
            os.width(settings & 0x1f);
        if (settings & 64)
            os << std::showpos;
    }
    const std::ios_base::fmtflags flagsBefore = os.flags();
    const char fillBefore = os.fill();

    // An empty vector may have no storage at all; the dump then still needs a
    // block that is not null.
    static const unsigned char noBytes = 0;
    const unsigned char* bytes = block.empty() ? &noBytes : block.data();
    std::outputData(os, nullBlock ? nullptr : bytes, length);
    const std::string text = os.str();

    if (nullBlock) {
        if (!text.empty() || os.flags() != flagsBefore || os.fill() != fillBefore) {
            fail("a null block wrote something or changed the stream", length);
        }
        return 0;
    }
    if ((os.flags() & std::ios_base::basefield) != std::ios_base::dec) {
        fail("the stream is not left in decimal", length);
    }
    const std::ios_base::fmtflags kept = ~(std::ios_base::basefield | std::ios_base::adjustfield);
    if ((os.flags() & kept) != (flagsBefore & kept)) {
        fail("flags other than base and adjustment changed", length);
    }
    if (length <= 0) {
        if (!text.empty()) {
            fail("a non-positive length wrote something", length);
        }
        return 0;
    }
    if ((os.flags() & std::ios_base::adjustfield) != std::ios_base::left || os.fill() != ' ') {
        fail("a dump did not leave left adjustment and blank fill", length);
    }
    if (!odd) {
        if (text != referenceDump(bytes, length)) {
            fail("the dump differs from the reference", length);
        }
        return 0;
    }
    size_t lines = 0;
    for (char c : text) {
        lines += c == '\n';
    }
    if (lines != static_cast<size_t>((length + 15) / 16) || text.back() != '\n') {
        fail("wrong number of lines", length);
    }
    return 0;
}
