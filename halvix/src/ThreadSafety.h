// halvix/src/ThreadSafety.h - lock discipline the compiler checks (internal).
//
// Which lock guards which field, which function needs a lock held, and the
// order in which locks nest are written with these macros instead of only
// in comments. Under clang they become its thread-safety attributes, and the
// thread-safety preset (-Wthread-safety) turns a field read without its lock,
// a lock leaked out of a scope or a nesting against the declared order into
// a compile error. Under any other compiler they expand to nothing.
//
// libstdc++'s std::mutex carries no such attributes, so the library's own
// locks are the small wrappers below: the same std::mutex inside, with
// the attributes on the outside.
//
// The library's lock order, outermost first (a thread holding one of them
// takes only those further down the list):
//   1. a registry's lock (LockedRegistry: Queue Collection, Task Collection,
//      timer registry);
//   2. a timer's delivery lock (ProcessTimeoutMacro::mutex);
//   3. the OS timer's mutex (osPosixTimer_t::mutex), taken by osTimerStart
//      and osTimerStop while the delivery lock is held;
//   4. the trace lock (_dbg_mutex): any code may trace while it holds another
//      lock, and the trace path takes no other lock.
// The analysis checks an order only between locks that one file can name
// (the registry's lock and the delivery lock); the OS timer's mutex is taken
// inside the OS layer's functions, whose public declarations carry no
// attributes.
#ifndef HALVIX_SRC_THREADSAFETY_H
#define HALVIX_SRC_THREADSAFETY_H

#include <mutex>

#if defined(__clang__)
#define HALVIX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define HALVIX_THREAD_ANNOTATION(x)
#endif

// A type whose objects are locks.
#define HALVIX_CAPABILITY(name) HALVIX_THREAD_ANNOTATION(capability(name))
// A type whose objects hold a lock for their scope.
#define HALVIX_SCOPED_CAPABILITY HALVIX_THREAD_ANNOTATION(scoped_lockable)
// A field read or written only with the lock held.
#define HALVIX_GUARDED_BY(lock) HALVIX_THREAD_ANNOTATION(guarded_by(lock))
// A lock taken only while the named locks are held (or never with them).
#define HALVIX_ACQUIRED_AFTER(...) HALVIX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define HALVIX_ACQUIRED_BEFORE(...) HALVIX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
// A function called with the locks held, which it leaves held.
#define HALVIX_REQUIRES(...) HALVIX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// A function that takes, or releases, the locks.
#define HALVIX_ACQUIRE(...) HALVIX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define HALVIX_RELEASE(...) HALVIX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// A function after whose return the analysis takes the lock as held,
// for a lock that a caller took beyond its sight.
#define HALVIX_ASSERT_CAPABILITY(lock) HALVIX_THREAD_ANNOTATION(assert_capability(lock))
// A function the analysis skips; its comment says why it is safe.
#define HALVIX_NO_THREAD_SAFETY_ANALYSIS HALVIX_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace halvix::internal {

// A std::mutex the analysis knows as a lock. Constant-initialised, so a
// static one is usable from any static initialiser.
class HALVIX_CAPABILITY("mutex") Mutex
{
public:
    constexpr Mutex() noexcept = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() HALVIX_ACQUIRE() { mutex.lock(); }
    void unlock() HALVIX_RELEASE() { mutex.unlock(); }
    // Tells the analysis that the caller holds it (taken through native()).
    void assertHeld() const HALVIX_ASSERT_CAPABILITY(this) {}

    // For std::condition_variable, which waits on a std::unique_lock.
    std::mutex& native() { return mutex; }

private:
    std::mutex mutex;
};

// Holds a Mutex for its scope, as std::lock_guard does.
class HALVIX_SCOPED_CAPABILITY MutexLock
{
public:
    explicit MutexLock(Mutex& toHold) HALVIX_ACQUIRE(toHold) : held(toHold) { held.lock(); }
    ~MutexLock() HALVIX_RELEASE() { held.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& held;
};

// Holds a Mutex for its scope, and may let go of it and take it again within
// the scope, as std::unique_lock does; native() is the std::unique_lock that
// a std::condition_variable waits on.
class HALVIX_SCOPED_CAPABILITY UniqueMutexLock
{
public:
    explicit UniqueMutexLock(Mutex& toHold) HALVIX_ACQUIRE(toHold) : held(toHold.native()) {}
    ~UniqueMutexLock() HALVIX_RELEASE() {}
    UniqueMutexLock(const UniqueMutexLock&) = delete;
    UniqueMutexLock& operator=(const UniqueMutexLock&) = delete;

    void lock() HALVIX_ACQUIRE() { held.lock(); }
    void unlock() HALVIX_RELEASE() { held.unlock(); }

    std::unique_lock<std::mutex>& native() { return held; }

private:
    std::unique_lock<std::mutex> held;
};

}  // namespace halvix::internal

#endif  // HALVIX_SRC_THREADSAFETY_H
