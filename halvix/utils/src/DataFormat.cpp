// Data formatting helpers: hex dumps, packed decimal and base-2 text.
#include "halvix/utils/Utils.h"

#include <cctype>
#include <cstdlib>
#include <iomanip>
#include <sstream>

namespace {

constexpr int BYTES_PER_LINE = 16;
constexpr int HEX_COLUMN_WIDTH = 3 * BYTES_PER_LINE;

// Writes "ffff-ffff: " for the offsets of one dump line. The offsets are
// always lower-case hex without a prefix: the dump's columns must not depend
// on the flags the caller's stream carries (uppercase, showbase, showpos).
void writeOffsets(std::ostream& os, int first, int last)
{
    os.flags(std::ios::hex | std::ios::right);
    os << std::setfill('0') << std::setw(4) << first << "-" << std::setw(4) << last << ": ";
}

}  // namespace

namespace std {

std::ostream& outputData(std::ostream& os, const void* data, int length)
{
    if (data == nullptr) {
        return os;
    }
    const std::ios::fmtflags callerFlags = os.flags();
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    std::ostringstream hexPiece;
    hexPiece << std::hex << std::setfill('0');
    std::string charPiece;
    int lineStart = 0;
    for (int i = 0; i < length; ++i) {
        const unsigned char byte = bytes[i];
        hexPiece << std::setw(2) << static_cast<unsigned int>(byte) << ' ';
        charPiece += std::isprint(byte) ? static_cast<char>(byte) : '.';
        if (i % BYTES_PER_LINE == BYTES_PER_LINE - 1 || i == length - 1) {
            writeOffsets(os, lineStart, i);
            const std::string hexText = hexPiece.str();
            os << hexText << std::setfill(' ') << std::left
               << std::setw(static_cast<int>(HEX_COLUMN_WIDTH - hexText.size())) << "" << charPiece
               << std::endl;
            hexPiece.str("");
            charPiece.clear();
            lineStart = i + 1;
        }
    }
    // The caller gets its own flags back, except what the dump documents: a
    // decimal base and, once a line was written, left adjustment and a
    // blank fill.
    os.flags(callerFlags);
    os << std::dec;
    if (length > 0) {
        os << std::left << std::setfill(' ');
    }
    return os;
}

unsigned int toBcd(unsigned int value)
{
    if (value == 0 || value > 99999999u) {
        return 0;
    }
    unsigned int result = 0;
    for (unsigned int shift = 0; value != 0; shift += 4, value /= 10) {
        result |= (value % 10) << shift;
    }
    return result;
}

unsigned int binaryStrToUInt32(const std::string& text)
{
    return static_cast<unsigned int>(::strtoul(text.c_str(), nullptr, 2));
}

}  // namespace std
