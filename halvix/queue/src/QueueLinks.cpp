#include "halvix/queue/src/QueueLinks.h"

#include <time.h>

#include <cassert>
#include <cerrno>

namespace halvix::queue {

namespace {

// One slice of a waiting change: short enough that draining a full queue
// nobody reads starts soon, long enough not to spin.
constexpr long SLICE_NS = 5 * 1000 * 1000;

}  // namespace

Queue::Links::Links()
{
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    const int result = pthread_rwlock_init(&guard, &attributes);
    pthread_rwlockattr_destroy(&attributes);
    assert(result == 0);
    (void)result;
}

Queue::Links::~Links()
{
    pthread_rwlock_destroy(&guard);
}

std::mutex& linksMutex()
{
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

std::condition_variable& linksChanged()
{
    static std::condition_variable* changed = new std::condition_variable;
    return *changed;
}

SharedGuard::SharedGuard(pthread_rwlock_t& guard) : guard(guard)
{
    // EAGAIN (too many readers) and EDEADLK cannot happen with the default
    // reader limit and a non-recursive use.
    while (pthread_rwlock_rdlock(&guard) == EAGAIN) {
    }
}

SharedGuard::~SharedGuard()
{
    pthread_rwlock_unlock(&guard);
}

ExclusiveGuard::ExclusiveGuard(pthread_rwlock_t& guard) : guard(guard)
{
    pthread_rwlock_wrlock(&guard);
}

ExclusiveGuard::ExclusiveGuard(pthread_rwlock_t& guard, const std::function<void()>& betweenSlices)
    : guard(guard)
{
    for (;;) {
        // The timed form takes the realtime clock; a clock step only
        // lengthens or shortens one slice.
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += SLICE_NS;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_nsec -= 1000000000L;
            ++until.tv_sec;
        }
        if (pthread_rwlock_timedwrlock(&guard, &until) == 0) {
            return;
        }
        betweenSlices();
    }
}

ExclusiveGuard::~ExclusiveGuard()
{
    pthread_rwlock_unlock(&guard);
}

}  // namespace halvix::queue
