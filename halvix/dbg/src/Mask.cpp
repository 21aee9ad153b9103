// The domain mask: parsing the mask text and the filter of trace calls.
#include "halvix/dbg/dbg.h"

#include "halvix/dbg/src/TraceState.h"
#include "halvix/src/Assert.h"

#include <algorithm>
#include <cstring>

namespace {

// Receives the mask text, which is split in place.
char _dbg_mask_buffer[_DBG_MAX_DOMAIN] HALVIX_GUARDED_BY(halvix::dbg::traceMutex);

// Any run of these separates two domains; the set is generous so that a mask
// can be written on a shell command line without quoting.
constexpr const char* kSeparators = "+-|:;&^\"*_,!#~?<>$\\/ ";

}  // namespace

extern "C" void _dbg_set_mask(const char* mask)
{
    // clang-format off
    HALVIX_ASSERT(strlen( mask ) < (_DBG_MAX_DOMAIN-1));
    // clang-format on
    // The new mask is split and built aside, without the lock, and swapped
    // in under it: an allocation that fails leaves the mask as it was, the
    // lock is held only for what cannot fail, and the old entries are freed
    // after it is released.
    char text[_DBG_MAX_DOMAIN];
    strcpy(text, mask);
    std::vector<std::string> domains;
    char* rest = nullptr;
    for (char* token = strtok_r(text, kSeparators, &rest); token != nullptr;
         token = strtok_r(nullptr, kSeparators, &rest)) {
        domains.emplace_back(token);
    }
    {
        halvix::dbg::TraceLock lock;
        memcpy(_dbg_mask_buffer, text, sizeof text);
        _dbg_mask.swap(domains);
    }
}

namespace halvix::dbg {

bool passesTraceFilters(const char* domain, unsigned long thread)
{
    if (strcmp(domain, "all") != 0) {
        const bool enabled =
            std::any_of(_dbg_mask.begin(), _dbg_mask.end(),
                        [domain](const std::string& entry) { return entry == "all" || entry == domain; });
        if (!enabled) {
            return false;
        }
    }
    return std::find(_dbg_disabled_thread.begin(), _dbg_disabled_thread.end(), thread) ==
           _dbg_disabled_thread.end();
}

}  // namespace halvix::dbg
