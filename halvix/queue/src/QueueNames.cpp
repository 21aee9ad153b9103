// Queue's error-type name, built first and never destroyed
// (halvix/src/NeverDestroyed.h says why). Queue.h declares it as a
// `static const std::string` member and is not included here.
#include "halvix/src/NeverDestroyed.h"

#include <string>

namespace halvix::queue::names {

HALVIX_NEVER_DESTROYED(std::string, writeError, "_ZN6halvix5queue5Queue11WRITE_ERROR" HALVIX_CXX11_TAG "E",
                       "QueueWriteError");

}  // namespace halvix::queue::names
