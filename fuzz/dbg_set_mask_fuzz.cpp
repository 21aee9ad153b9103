// _dbg_set_mask with arbitrary text: the mask must hold exactly the names of
// the reference split, and the trace filter must pass those names, "all",
// and nothing else (unless the mask holds "all"). A text of 255 characters
// or more breaks the function's documented precondition (it stops the
// process by assertion), so longer inputs are cut to the longest legal text.
#include <halvix/dbg/dbg.h>

#include "FuzzSupport.h"

#include "halvix/dbg/src/TraceState.h"

#include <algorithm>
#include <cstdint>
#include <string>

static_assert(halvix::fuzz::kLongestMask == _DBG_MAX_DOMAIN - 2, "the longest legal mask text");

namespace {

bool passes(const std::string& domain)
{
    _dbg_lock();
    const bool result = halvix::dbg::passesTraceFilters(domain.c_str(), _dbg_get_current_thread_id());
    _dbg_unlock();
    return result;
}

void fail(const char* what, const std::string& detail)
{
    halvix::fuzz::fail("dbg_set_mask", what, "'" + detail + "'");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The input is the mask text, then, after the first NUL, a domain to ask
    // the filter about.
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t end = input.find('\0');
    std::string mask = input.substr(0, end);
    const std::string probe = end == std::string::npos ? std::string("probe") : input.substr(end + 1).c_str();
    if (mask.size() > halvix::fuzz::kLongestMask) {
        mask.resize(halvix::fuzz::kLongestMask);
    }

    _dbg_set_mask(mask.c_str());
    const std::vector<std::string> expected = halvix::fuzz::referenceMask(mask);
    _dbg_lock();
    const bool same = _dbg_mask == expected;
    _dbg_unlock();
    if (!same) {
        fail("mask differs from the reference split of", mask);
    }

    std::vector<std::string> mustPass = expected;
    mustPass.push_back("all");
    for (const std::string& name : mustPass) {
        if (!passes(name)) {
            fail("a listed domain or \"all\" is filtered out", name);
        }
    }
    const bool all = std::find(expected.begin(), expected.end(), "all") != expected.end();
    const bool listed = std::find(expected.begin(), expected.end(), probe) != expected.end();
    if (passes(probe) != (all || listed || probe == "all")) {
        fail("the filter misjudges domain", probe);
    }
    return 0;
}
