// The domain mask as a user reads the rule: the text split at runs of the
// separator characters, without empty names. Shared by the mask fuzz targets
// as the reference the library must agree with.
#ifndef HALVIX_FUZZ_MASKREFERENCE_H
#define HALVIX_FUZZ_MASKREFERENCE_H

#include <string>
#include <vector>

namespace halvix::fuzz {

inline bool isMaskSeparator(char c)
{
    static const std::string separators = "+-|:;&^\"*_,!#~?<>$\\/ ";
    return separators.find(c) != std::string::npos;
}

// `text` ends at its first NUL, as the C text handed to the library does.
inline std::vector<std::string> referenceMask(const std::string& text)
{
    std::vector<std::string> names;
    std::string current;
    for (char c : text) {
        if (c == '\0') {
            break;
        }
        if (isMaskSeparator(c)) {
            if (!current.empty()) {
                names.push_back(current);
                current.clear();
            }
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        names.push_back(current);
    }
    return names;
}

// The longest mask text the library accepts: shorter than _DBG_MAX_DOMAIN - 1.
constexpr size_t kLongestMask = 254;

}  // namespace halvix::fuzz

#endif  // HALVIX_FUZZ_MASKREFERENCE_H
