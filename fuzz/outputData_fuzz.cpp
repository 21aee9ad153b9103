// outputData over random buffers and lengths, against a reference formatter
// written from its contract (16 bytes a line, offsets in lower-case hex of at
// least four digits, three characters per byte, the hex column padded to 48,
// printable bytes shown, others as '.'). When the input also asks for odd
// format settings on the stream beforehand, the text is only counted in
// lines; the dump must still end with decimal, left adjustment and blank
// fill, and leave the other flags as they were.
//
// Input: byte 0 chooses the length (all bytes, fewer, zero or negative, a
// null block, or at most 39 bytes), byte 1 its parameter, byte 2 the
// stream's settings beforehand; the rest is the data. Dumps past offset
// 0xffff take 64 KiB each: too slow to fuzz, so one is compared at start-up.
#include <halvix/utils/Utils.h>

#include "FuzzSupport.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
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

void fail(const char* what, int length)
{
    halvix::fuzz::fail("outputData", what, "length " + std::to_string(length));
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
    const bool nullBlock = mode == 3;
    if (mode == 1) {  // fewer bytes than there are
        length -= parameter % (length + 1);
    } else if (mode == 2) {  // nothing to dump
        length = -static_cast<int>(parameter);
    } else if (nullBlock) {
        length = parameter;
    } else if (mode == 4) {  // short blocks exercise the padding of the last line
        length = std::min(length, static_cast<int>(parameter % 40));
    }

    std::ostringstream os;
    // Odd settings a caller's stream may have: the dump must cope with them.
    const bool odd = (settings & 0x80) != 0;
    if (odd) {
        using F = std::ios_base;
        const auto flag = [settings](int bit, F::fmtflags value) {
            return settings & bit ? value : F::fmtflags();
        };
        os.setf(settings & 1 ? F::hex : F::dec, F::basefield);
        os.setf(flag(2, F::uppercase) | flag(4, F::showbase) | flag(8, F::internal) | flag(64, F::showpos));
        os.fill(settings & 16 ? '*' : ' ');
        os.width(settings & 32 ? settings & 0x1f : 0);
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
    if (std::count(text.begin(), text.end(), '\n') != (length + 15) / 16 || text.back() != '\n') {
        fail("wrong number of lines", length);
    }
    return 0;
}
