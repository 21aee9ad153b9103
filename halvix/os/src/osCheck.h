// halvix/os/src/osCheck.h - how the OS layer stops on a broken precondition
// or a refused POSIX call (internal).
//
// The assertion texts of this layer name each operation by its full
// signature, handle typedefs qualified ("bool
// halvix::os::osMutexLock(halvix::os::osMutex_t, bool)"). g++ prints a
// parameter typedef of the function's own namespace without the namespace
// ("osMutex_t"), so __PRETTY_FUNCTION__ cannot give that text: operations with
// handle parameters spell their signature out and assert through
// HALVIX_OS_ASSERT. Operations without one use HALVIX_ASSERT directly.
#ifndef HALVIX_OS_SRC_OSCHECK_H
#define HALVIX_OS_SRC_OSCHECK_H

#include "halvix/dbg/dbg.h"
#include "halvix/src/Assert.h"

// HALVIX_ASSERT with an explicit signature text; active in every build type.
#define HALVIX_OS_ASSERT(expr, signature)                                                                    \
    (static_cast<bool>(expr) ? static_cast<void>(0)                                                          \
                             : ::halvix::dbg::assertionFailed(#expr, __FILE__, __LINE__, (signature)))

// A POSIX call whose refusal leaves the primitive unusable: trace the code
// ("pthread error %d\n" at DBG_LEVEL_LOG, domain "dbg", under the calling
// operation's name) and stop. The assertion text is the spelling of the
// argument followed by " == 0", so callers keep the result in a variable
// named `status`.
#define HALVIX_OS_CHECK(status, signature)                                                                   \
    do {                                                                                                     \
        if ((status) != 0) {                                                                                 \
            DBG_LOG("dbg", "pthread error %d\n", (status));                                                  \
            HALVIX_OS_ASSERT(status == 0, signature);                                                        \
        }                                                                                                    \
    } while (0)

#endif  // HALVIX_OS_SRC_OSCHECK_H
