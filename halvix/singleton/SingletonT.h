// halvix/singleton/SingletonT.h - a lazily created, process-wide instance.
//
// SingletonT<T>::getInstancePtr() returns the one T of the process, creating it
// with `new T()` on the first call. The instance is never deleted: it lives
// until the process ends, so it may be used from other static destructors.
// The library keeps its registries (strategies, queues, tasks, timers) in such
// singletons.
//
// Contract:
//   - Any thread may call getInstancePtr, also many at once on first use: T is
//     constructed exactly once.
//   - Memory ordering: the pointer is published with release and read with
//     acquire, so a thread that sees the pointer sees the finished object.
//   - After creation a call costs one atomic load and takes no lock.
//   - If T's constructor throws, the exception reaches the caller, the
//     instance stays unset and the next call tries again.
//   - Only the creation is locked: the instance itself is not guarded.
#ifndef HALVIX_SINGLETON_SINGLETONT_H
#define HALVIX_SINGLETON_SINGLETONT_H

#include <halvix/Export.h>

#include <atomic>
#include <mutex>

namespace halvix::singleton {

// Exported so that every shared object of a process that instantiates
// SingletonT<T> for the same T shares one instance.
template <typename T>
class HALVIX_API SingletonT
{
public:
    static T* getInstancePtr()
    {
        static std::atomic<T*> theInstancePtr{nullptr};
        static std::mutex mutex;  // guards creation only

        T* instance = theInstancePtr.load(std::memory_order_acquire);
        if (instance != nullptr) {
            return instance;
        }
        std::lock_guard<std::mutex> lock(mutex);
        instance = theInstancePtr.load(std::memory_order_relaxed);  // the lock orders it
        if (instance == nullptr) {
            instance = new T();  // a throw leaves the pointer null
            theInstancePtr.store(instance, std::memory_order_release);
        }
        return instance;
    }

    SingletonT() = delete;
};

}  // namespace halvix::singleton

#endif  // HALVIX_SINGLETON_SINGLETONT_H
