// Shared by the fuzz targets: how a failed check stops the run, and the
// domain mask as a user reads the rule (the text split at runs of the
// separator characters, without empty names), which the mask targets check
// the library against.
#ifndef HALVIX_FUZZ_FUZZSUPPORT_H
#define HALVIX_FUZZ_FUZZSUPPORT_H

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace halvix::fuzz {

// Names the target and what went wrong, then aborts so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* target, const char* what, const std::string& detail = "")
{
    std::fprintf(stderr, "%s: %s%s%s\n", target, what, detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
}

// `text` ends at its first NUL, as the C text handed to the library does.
inline std::vector<std::string> referenceMask(const std::string& text)
{
    static const std::string separators = "+-|:;&^\"*_,!#~?<>$\\/ ";
    const std::string cText = text.substr(0, text.find('\0'));
    std::vector<std::string> names;
    for (size_t begin = 0; (begin = cText.find_first_not_of(separators, begin)) != std::string::npos;) {
        const size_t end = cText.find_first_of(separators, begin);
        names.push_back(cText.substr(begin, end - begin));
        begin = end;
    }
    return names;
}

// The longest mask text the library accepts: shorter than _DBG_MAX_DOMAIN - 1.
constexpr size_t kLongestMask = 254;

}  // namespace halvix::fuzz

#endif  // HALVIX_FUZZ_FUZZSUPPORT_H
