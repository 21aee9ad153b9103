// _dbg_dump: hex dump of a memory area, filtered like a trace call.
#include "halvix/dbg/dbg.h"

#include "halvix/dbg/src/TraceState.h"

#include <cstdio>

namespace {

constexpr int64_t kBytesPerLine = 8;

}  // namespace

extern "C" void _dbg_dump(const char* domain, const void* data, int64_t size)
{
    halvix::dbg::lockTrace();
    const bool passes = halvix::dbg::passesTraceFilters(domain, _dbg_get_current_thread_id());
    halvix::dbg::unlockTrace();
    if (!passes || size <= 0) {
        return;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    // The index is 64-bit like the count, so any size the caller gives is
    // dumped whole: cutting a large area would lose its tail without a word.
    for (int64_t start = 0; start < size; start += kBytesPerLine) {
        // "    %p : " and 8 x "xx " fit easily; the line is one write.
        char line[64];
        int used = snprintf(line, sizeof line, "    %p : ", static_cast<const void*>(bytes + start));
        const int64_t end = size - start < kBytesPerLine ? size : start + kBytesPerLine;
        for (int64_t i = start; i < end; ++i) {
            used += snprintf(line + used, sizeof line - used, "%.2x ", bytes[i]);
        }
        _dbg_printf("%s\n", line);
    }
}
