// halvix/src/Assert.h - the library's assertions (internal).
//
// The texts of failed assertions (expression and function signature) are part
// of the library's behaviour, so HALVIX_ASSERT stops the process in every
// build type: unlike assert() it does not vanish when NDEBUG is defined, as it
// is in CMake's Release and RelWithDebInfo builds. The message has the C
// library's form ("file:line: function: Assertion `expr' failed.") because it
// goes through the C library's own assertion routine.
#ifndef HALVIX_SRC_ASSERT_H
#define HALVIX_SRC_ASSERT_H

namespace halvix::dbg {

// Flushes every standard stream, so that a report printed just before the
// failed assertion reaches its pipe or file, then aborts with the assertion
// text. Never returns.
[[noreturn]] void assertionFailed(const char* expression, const char* file, unsigned line,
                                  const char* function);

}  // namespace halvix::dbg

#define HALVIX_ASSERT(expr)                                                                                  \
    (static_cast<bool>(expr)                                                                                 \
         ? static_cast<void>(0)                                                                              \
         : ::halvix::dbg::assertionFailed(#expr, __FILE__, __LINE__, __PRETTY_FUNCTION__))

#endif  // HALVIX_SRC_ASSERT_H
