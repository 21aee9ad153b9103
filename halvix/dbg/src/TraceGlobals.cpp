// The trace facility's two containers, built once and never destroyed.
//
// Threads that trace may still run while the process exits: main has
// returned and the destructors of static objects run, but a Task, a timer
// thread or an application thread traces on until exit ends them all. A mask
// or a muted list destroyed under such a thread would be freed memory read by
// the next trace. So both live in storage whose destructor does nothing, and
// their memory stays reachable until the process is gone.
//
// Applications link against these objects under the names and types dbg.h
// declares. The storage below carries the assembler name of the declared
// object; dbg.h is not included here, so that no translation unit sees two
// objects under one name.
#include <halvix/Export.h>

#include <string>
#include <vector>

namespace halvix::dbg {

// Holds a T whose destructor never runs.
template <typename T>
union NeverDestroyed {
    NeverDestroyed() : value() {}
    ~NeverDestroyed() {}
    T value;
};

}  // namespace halvix::dbg

// _dbg_mask has C++ linkage: in the C++11 library ABI its name carries the
// tag of std::string, as every declaration of it in applications does.
#if _GLIBCXX_USE_CXX11_ABI
#define HALVIX_DBG_MASK_SYMBOL "_Z9_dbg_maskB5cxx11"
#else
#define HALVIX_DBG_MASK_SYMBOL "_dbg_mask"
#endif

// Guarded by _dbg_mutex, as the declared objects are.
HALVIX_API halvix::dbg::NeverDestroyed<std::vector<std::string>>
    dbgMaskStorage __asm__(HALVIX_DBG_MASK_SYMBOL);
HALVIX_API halvix::dbg::NeverDestroyed<std::vector<unsigned long>>
    dbgDisabledThreadStorage __asm__("_dbg_disabled_thread");
