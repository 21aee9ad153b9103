// The trace facility's two containers, built first and never destroyed
// (halvix/src/NeverDestroyed.h says why): a Task, a timer thread or an
// application thread traces on while the process exits, and reads both.
//
// dbg.h declares them as _dbg_mask and _dbg_disabled_thread and is not
// included here.
#include "halvix/src/NeverDestroyed.h"

#include <string>
#include <vector>

namespace halvix::dbg::globals {

// _dbg_mask has C++ linkage: its assembler name carries the tag of
// std::string, as every declaration of it in applications does. Both are
// guarded by _dbg_mutex, as the declared objects are.
HALVIX_NEVER_DESTROYED(std::vector<std::string>, mask, "_Z9_dbg_mask" HALVIX_CXX11_TAG);
HALVIX_NEVER_DESTROYED(std::vector<unsigned long>, disabledThreads, "_dbg_disabled_thread");

}  // namespace halvix::dbg::globals
