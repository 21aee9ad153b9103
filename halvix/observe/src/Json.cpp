// Writing JSON by hand: escaped strings cut without splitting UTF-8, keys and numbers.
#include "halvix/observe/src/Json.h"

#include <cstdio>

namespace halvix::observe {

namespace {

void appendEscapedByte(std::string& out, unsigned char byte)
{
    char escaped[8];
    std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
    out += escaped;
}

// The length of the valid UTF-8 character at text[0, length), or 0 if the
// bytes there are not one (overlong forms and surrogates included).
std::size_t utf8CharLength(const unsigned char* text, std::size_t length)
{
    const unsigned char lead = text[0];
    std::size_t size;
    uint32_t code;
    if (lead >= 0xC2 && lead <= 0xDF) {
        size = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        size = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        size = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (size > length) {
        return 0;
    }
    for (std::size_t i = 1; i < size; ++i) {
        if ((text[i] & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (text[i] & 0x3F);
    }
    const bool overlong = (size == 3 && code < 0x800) || (size == 4 && code < 0x10000);
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    if (overlong || surrogate || code > 0x10FFFF) {
        return 0;
    }
    return size;
}

}  // namespace

void appendJsonString(std::string& out, const char* text, std::size_t length)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    out += '"';
    for (std::size_t i = 0; i < length;) {
        const unsigned char byte = bytes[i];
        if (byte >= 0x80) {
            const std::size_t size = utf8CharLength(bytes + i, length - i);
            if (size == 0) {
                appendEscapedByte(out, byte);
                ++i;
            } else {
                out.append(text + i, size);
                i += size;
            }
            continue;
        }
        switch (byte) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        default:
            if (byte < 0x20) {
                appendEscapedByte(out, byte);
            } else {
                out += static_cast<char>(byte);
            }
        }
        ++i;
    }
    out += '"';
}

void appendKey(std::string& out, const char* key)
{
    out += '"';
    out += key;
    out += "\":";
}

void appendNumber(std::string& out, int64_t value)
{
    out += std::to_string(value);
}

void appendNumber(std::string& out, uint64_t value)
{
    out += std::to_string(value);
}

void appendMicros(std::string& out, int64_t nanoseconds)
{
    if (nanoseconds < 0) {
        out += '-';
        nanoseconds = -nanoseconds;
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%lld.%03lld", static_cast<long long>(nanoseconds / 1000),
                  static_cast<long long>(nanoseconds % 1000));
    out += text;
}

}  // namespace halvix::observe
