// The stack a task's thread is given for its stack size request.
#include "halvix/os/src/taskRecord.h"

#include <dlfcn.h>
#include <link.h>

#include <cstddef>
#include <cstdint>

namespace halvix::os {

namespace {

// Adds the TLS segment of one loaded object, aligned as the block is.
int addTlsSegment(dl_phdr_info* info, size_t, void* total)
{
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type == PT_TLS) {
            const size_t align = header.p_align > 0 ? header.p_align : 1;
            *static_cast<size_t*>(total) += (header.p_memsz + align - 1) / align * align;
        }
    }
    return 0;
}

// The static TLS of the process: the thread-local data of the program and of
// the libraries loaded with it (and glibc's reserve for later ones). glibc
// places it, with the thread's descriptor, at the top of every thread's stack
// and takes it out of the size the thread was created with, so a program
// with much thread_local data leaves little of a small stack, or refuses to
// create the thread at all (EINVAL) when the data outgrows it.
//
// glibc's dynamic linker says how big it is through _dl_get_tls_static_info,
// which the sanitizers use for the same purpose. It is a private interface,
// so it is looked up at run time; without it, the TLS segments of the loaded
// objects are added up instead (the same block, without glibc's reserve).
size_t measureStaticTls()
{
    using GetTlsStaticInfo = void (*)(size_t*, size_t*);
    if (auto get = reinterpret_cast<GetTlsStaticInfo>(dlsym(RTLD_DEFAULT, "_dl_get_tls_static_info"))) {
        size_t size = 0;
        size_t align = 0;
        get(&size, &align);
        return size;
    }
    size_t total = 0;
    dl_iterate_phdr(addTlsSegment, &total);
    return total;
}

}  // namespace

size_t threadStackSize(int64_t stacksize)
{
    // Measured once: the static TLS is fixed when the process starts.
    static const size_t staticTls = measureStaticTls();
    const size_t usable = static_cast<size_t>(stacksize);
    return usable > SIZE_MAX - staticTls ? SIZE_MAX : usable + staticTls;
}

}  // namespace halvix::os
