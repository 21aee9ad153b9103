// tests/os/assertionPattern.h - the death-test pattern of a failed assertion.
#ifndef HALVIX_TESTS_OS_ASSERTIONPATTERN_H
#define HALVIX_TESTS_OS_ASSERTIONPATTERN_H

#include <string>

// A regular expression (POSIX extended, as EXPECT_DEATH uses) that matches
// "<signature>: Assertion `<expression>' failed" literally.
inline std::string assertionPattern(const std::string& signature, const std::string& expression)
{
    const std::string text = signature + ": Assertion `" + expression + "' failed";
    std::string pattern;
    for (char c : text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) {
            pattern += '\\';
        }
        pattern += c;
    }
    return pattern;
}

#endif  // HALVIX_TESTS_OS_ASSERTIONPATTERN_H
