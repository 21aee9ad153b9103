// binaryStrToUInt32 against a parser written from its contract: leading
// white space, an optional sign, base-2 digits up to the first other
// character, negation in unsigned arithmetic, all ones on overflow of
// unsigned long, and the low 32 bits of that.
#include <halvix/utils/Utils.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

unsigned int referenceValue(const std::string& text)
{
    const char* p = text.c_str();  // the text ends at its first NUL
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    unsigned long value = 0;
    bool overflow = false;
    for (; *p == '0' || *p == '1'; ++p) {
        if (value > (ULONG_MAX >> 1)) {
            overflow = true;
        }
        value = (value << 1) | static_cast<unsigned long>(*p - '0');
    }
    if (overflow) {
        return 0xFFFFFFFFu;
    }
    return static_cast<unsigned int>(negative ? 0UL - value : value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const unsigned int expected = referenceValue(text);
    const unsigned int actual = std::binaryStrToUInt32(text);
    if (actual != expected) {
        std::fprintf(stderr, "binaryStrToUInt32 gave 0x%x, expected 0x%x\n", actual, expected);
        std::abort();
    }
    return 0;
}
