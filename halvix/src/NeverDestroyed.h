// halvix/src/NeverDestroyed.h - storage for the library's exported objects
// that must outlive the process's exit (internal).
//
// Threads may still run while the process exits: main has returned, or exit
// was called, and the destructors of static objects run, but a Task, a timer
// thread or an application thread goes on tracing and reporting errors until
// exit ends them all. An exported object that such a thread reads (the trace
// mask and muted list, the error-type names) must not be destroyed under it,
// or the next trace or report reads freed memory. So it lives in a
// NeverDestroyed, whose destructor does nothing, and its memory stays
// reachable until the process is gone.
//
// Applications keep the name and type that the public headers declare:
// HALVIX_NEVER_DESTROYED gives the storage the assembler name of the declared
// object, and a NeverDestroyed<T> has the size, alignment and address of the
// T inside it. The file that defines the storage must not include the header
// that declares the object, or it would see two objects under one name.
//
// Why here, beside Export.h and below every module: the objects live in
// several modules (dbg, error, queue, task, timer), and the lowest of them,
// dbg, stands on the C library alone and includes no other module's header.
// Like the modules' own src/ directories, this one is not installed.
#ifndef HALVIX_SRC_NEVERDESTROYED_H
#define HALVIX_SRC_NEVERDESTROYED_H

#include <halvix/Export.h>

#include <utility>

namespace halvix::internal {

// Holds a T whose destructor never runs.
template <typename T>
union NeverDestroyed {
    template <typename... Args>
    explicit NeverDestroyed(Args&&... args) : value(std::forward<Args>(args)...)
    {
    }
    ~NeverDestroyed() {}
    T value;
};

}  // namespace halvix::internal

// The tag that the C++11 library ABI puts into the assembler name of an object
// whose type is std::string or holds one ("_Z9_dbg_maskB5cxx11").
#if _GLIBCXX_USE_CXX11_ABI
#define HALVIX_CXX11_TAG "B5cxx11"
#else
#define HALVIX_CXX11_TAG ""
#endif

// Built before every other static object of the library: they are defined in
// files of their own now, and objects built while the library loads use them
// (the default error strategy registers under Error::STRATEGY_TYPE).
#define HALVIX_NEVER_DESTROYED_PRIORITY 200

// Defines `storage`, an exported NeverDestroyed<T> with the assembler name
// `symbol` (the declared object's), built from the arguments that follow.
#define HALVIX_NEVER_DESTROYED(T, storage, symbol, ...)                                                      \
    HALVIX_API __attribute__((                                                                               \
        init_priority(HALVIX_NEVER_DESTROYED_PRIORITY))) ::halvix::internal::NeverDestroyed<T>               \
        storage __asm__(symbol){__VA_ARGS__};                                                                \
    static_assert(sizeof(storage) == sizeof(T) && alignof(decltype(storage)) == alignof(T),                  \
                  "the storage stands in for a " #T)

#endif  // HALVIX_SRC_NEVERDESTROYED_H
