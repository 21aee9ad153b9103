// binaryStrToUInt32 against a parser written from its contract: leading
// white space, an optional sign, base-2 digits up to the first other
// character, negation in unsigned arithmetic, all ones on overflow of
// unsigned long, and the low 32 bits of that.
#include <halvix/utils/Utils.h>

#include "FuzzSupport.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

unsigned int referenceValue(const std::string& text)
{
    const char* p = text.c_str();  // the text ends at its first NUL
    p += std::strspn(p, " \t\n\v\f\r");
    const bool negative = *p == '-';
    p += *p == '+' || *p == '-';
    unsigned long value = 0;
    bool overflow = false;
    for (; *p == '0' || *p == '1'; ++p) {
        overflow = overflow || value > (ULONG_MAX >> 1);
        value = (value << 1) | static_cast<unsigned long>(*p - '0');
    }
    return overflow ? 0xFFFFFFFFu : static_cast<unsigned int>(negative ? 0UL - value : value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const unsigned int expected = referenceValue(text);
    const unsigned int actual = std::binaryStrToUInt32(text);
    if (actual != expected) {
        char values[64];
        std::snprintf(values, sizeof values, "gave 0x%x, expected 0x%x", actual, expected);
        halvix::fuzz::fail("binaryStrToUInt32", values);
    }
    return 0;
}
