// halvix/os/osMutex.h - recursive mutexes, conditions with millisecond
// time-outs, and monotonic deadlines.
//
// Handles are untyped pointers to records that the create operation allocates
// and the destroy operation frees; the creator owns them.
//
// Time-outs, here and in every halvix::os operation that waits, are
// milliseconds:
//   -1   waits without limit;
//    0   does not wait (a poll);
//   >0   waits at most that long, measured on CLOCK_MONOTONIC, so setting
//        the wall clock never moves a deadline;
//   <-1  breaks a precondition (assertion).
//
// The OS layer never throws. Ordinary outcomes (a time-out, a try-lock that
// finds the mutex taken) are results. A refused POSIX call that leaves a
// primitive unusable is traced ("pthread error %d\n" at DBG_LEVEL_LOG, domain
// "dbg") and stops the process through an assertion; failures of mutex lock,
// unlock and destroy print a report with a backtrace on standard output
// instead of the trace. An unlock failure is the one report after which the
// process goes on.
#ifndef HALVIX_OS_OSMUTEX_H
#define HALVIX_OS_OSMUTEX_H

#include <halvix/Export.h>

#include <time.h>

namespace halvix::os {

typedef void* osMutex_t;
typedef void* osCondition_t;

// An unlocked recursive mutex; never null.
HALVIX_API void* osMutexCreate();
// The mutex must not be held or bound to a condition in use.
HALVIX_API void osMutexDestroy(osMutex_t mutex);
// tryLock false: blocks until held, returns true. tryLock true: never blocks;
// true if held now (also when the caller already held it), false if another
// thread holds it.
HALVIX_API bool osMutexLock(osMutex_t mutex, bool tryLock);
// Releases one level of the caller's hold.
HALVIX_API void osMutexUnlock(osMutex_t mutex);

// A condition bound to `mutex`, which the caller keeps owning; the mutex must
// outlive the condition.
HALVIX_API void* osConditionCreate(osMutex_t mutex);
HALVIX_API void osConditionDestroy(osCondition_t condition);
// Called with the bound mutex held; releases it while waiting and holds it
// again on return, whatever the result. True when woken (signal, broadcast
// or a spurious wake-up: keep a predicate), false on time-out, for 0 at once
// (without touching the mutex), or when a wait without limit failed.
HALVIX_API bool osConditionWait(osCondition_t condition, long numMs);
// Wake one waiter / every waiter; each locks the bound mutex around the call.
HALVIX_API void osConditionSignal(osCondition_t condition);
HALVIX_API void osConditionBroadcast(osCondition_t condition);

// The CLOCK_MONOTONIC deadline `ms` milliseconds from now. A negative `ms`
// gives the far-future mark {2147483647, 2147483647}, which is not a valid
// deadline for a timed wait.
HALVIX_API void osPosixGetTimeIn(struct timespec* ts, long ms);

}  // namespace halvix::os

#endif  // HALVIX_OS_OSMUTEX_H
