// The routine behind HALVIX_ASSERT: flushes every stream, then fails through the C library.
#include "halvix/src/Assert.h"

// The C library declares its assertion routine only without NDEBUG.
#undef NDEBUG
#include <assert.h>
#include <stdio.h>

#include <iostream>

namespace halvix::dbg {

void assertionFailed(const char* expression, const char* file, unsigned line, const char* function)
{
    // std::cout and std::clog share the C streams' buffers only when synced;
    // flush both layers so nothing written before the abort is lost.
    std::cout.flush();
    std::clog.flush();
    fflush(nullptr);
    __assert_fail(expression, file, line, function);
}

}  // namespace halvix::dbg
