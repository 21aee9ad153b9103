// _dbg_backtrace: a post-mortem report of the process.
#include "halvix/dbg/dbg.h"

#include <errno.h>
#include <execinfo.h>
#include <pthread.h>
#include <signal.h>
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

// Keeps SIGPIPE from stopping the process while a report is written.
//
// A report often goes to a pipe (a log collector, "| head") whose reader may
// be gone; the write then raises SIGPIPE, whose default action ends the
// process before the standard-error copy is written. Such a SIGPIPE is sent
// to the writing thread, so blocking it in this thread alone is enough and
// leaves the application's handling of it alone. A SIGPIPE raised while it was
// blocked is consumed before the mask is restored, so it is not delivered
// late either; one the application had blocked or pending already stays
// as it was.
class SigpipeHeld
{
public:
    SigpipeHeld()
    {
        sigemptyset(&sigpipe);
        sigaddset(&sigpipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &sigpipe, &previous);
        sigset_t pending;
        sigpending(&pending);
        consumeOwn = !sigismember(&previous, SIGPIPE) && !sigismember(&pending, SIGPIPE);
    }

    ~SigpipeHeld()
    {
        if (consumeOwn) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE)) {
                const timespec now = {0, 0};
                while (sigtimedwait(&sigpipe, nullptr, &now) == -1 && errno == EINTR) {
                }
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    SigpipeHeld(const SigpipeHeld&) = delete;
    SigpipeHeld& operator=(const SigpipeHeld&) = delete;

private:
    sigset_t sigpipe;
    sigset_t previous;
    bool consumeOwn = false;
};

}  // namespace

extern "C" void _dbg_backtrace(const char* format, ...)
{
    const unsigned pid = static_cast<unsigned>(getpid());
    char name[kNameSize];
    va_list args;
    va_start(args, format);
    vsnprintf(name, sizeof name, format, args);
    va_end(args);

    const SigpipeHeld sigpipeHeld;
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
