// halvix/observe/src/Json.h - writing JSON by hand (internal).
#ifndef HALVIX_OBSERVE_SRC_JSON_H
#define HALVIX_OBSERVE_SRC_JSON_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace halvix::observe {

// Appends `text` as a JSON string, quotes included: quotes, backslashes and
// control characters escaped, valid UTF-8 passed through as it is, and every
// byte that is not part of a valid UTF-8 character \u-escaped on its own.
void appendJsonString(std::string& out, const char* text, std::size_t length);
inline void appendJsonString(std::string& out, const std::string& text)
{
    appendJsonString(out, text.data(), text.size());
}

// Appends `"key":` (the key is plain ASCII).
void appendKey(std::string& out, const char* key);

void appendNumber(std::string& out, int64_t value);
void appendNumber(std::string& out, uint64_t value);
// Nanoseconds as microseconds with three decimals.
void appendMicros(std::string& out, int64_t nanoseconds);

}  // namespace halvix::observe

#endif  // HALVIX_OBSERVE_SRC_JSON_H
