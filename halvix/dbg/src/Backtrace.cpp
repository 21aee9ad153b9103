// _dbg_backtrace: a post-mortem report of the process.
#include "halvix/dbg/dbg.h"

#include <execinfo.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

namespace {

constexpr int kMaxFrames = 128;
constexpr size_t kNameSize = 128;
constexpr size_t kLineSize = 512;

// Copies the file at `path` to `out` unchanged; a file that cannot be opened
// leaves nothing behind (its heading is written anyway).
void copyFile(const char* path, FILE* out)
{
    FILE* in = fopen(path, "r");
    if (in == nullptr) {
        return;
    }
    char line[kLineSize];
    size_t count;
    while ((count = fread(line, 1, kLineSize - 1, in)) > 0) {
        fwrite(line, 1, count, out);
    }
    fclose(in);
}

void writeReport(FILE* out, unsigned pid, void* const* frames, int frameCount, char* nameBuffer)
{
    fprintf(out, "\n\nPid=%u\n", pid);
    fflush(out);
    fprintf(out, "\n\nBacktrace-entries: %zu\n", static_cast<size_t>(frameCount));
    fflush(out);
    backtrace_symbols_fd(frames, frameCount, fileno(out));
    fflush(out);
    fputs("\n\n", out);
    for (int i = 0; i < frameCount; ++i) {
        fprintf(out, "Address=%lX\n", reinterpret_cast<unsigned long>(frames[i]));
    }
    fputs("\n\nProcess memory map:\n\n", out);
    snprintf(nameBuffer, kNameSize, "/proc/%u/maps", pid);
    copyFile(nameBuffer, out);
    fputs("\n\nSystem memory info:\n\n", out);
    copyFile("/proc/meminfo", out);
    fflush(out);
}

}  // namespace

extern "C" void _dbg_backtrace(const char* format, ...)
{
    const unsigned pid = static_cast<unsigned>(getpid());
    char name[kNameSize];
    va_list args;
    va_start(args, format);
    vsnprintf(name, sizeof name, format, args);
    va_end(args);

    void* frames[kMaxFrames];
    const int frameCount = backtrace(frames, kMaxFrames);

    // When the report file cannot be opened the report goes to both
    // standard streams: whichever one the user keeps, it holds the report.
    FILE* report = fopen(name, "w");
    FILE* destinations[3] = {report, nullptr, nullptr};
    if (report == nullptr) {
        destinations[1] = stdout;
        destinations[2] = stderr;
    }
    for (FILE* out : destinations) {
        if (out != nullptr) {
            writeReport(out, pid, frames, frameCount, name);
        }
    }
    if (report != nullptr) {
        fclose(report);
    }
}
