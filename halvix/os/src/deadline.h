// halvix/os/src/deadline.h - deadline arithmetic on timespec values (internal).
#ifndef HALVIX_OS_SRC_DEADLINE_H
#define HALVIX_OS_SRC_DEADLINE_H

#include <time.h>

namespace halvix::os::internal {

constexpr long NANOSECONDS_PER_SECOND = 1000000000L;
constexpr long NANOSECONDS_PER_MILLISECOND = 1000000L;

// The instant `ms` (>= 0) milliseconds after `now`, normalised: `now` has
// fewer than 10^9 nanoseconds and the added part fewer than 10^9, so the
// carry into the seconds is 0 or 1.
inline timespec deadlineAfter(const timespec& now, long ms)
{
    const long nanoseconds = now.tv_nsec + (ms % 1000) * NANOSECONDS_PER_MILLISECOND;
    timespec deadline;
    deadline.tv_sec = now.tv_sec + ms / 1000 + nanoseconds / NANOSECONDS_PER_SECOND;
    deadline.tv_nsec = nanoseconds % NANOSECONDS_PER_SECOND;
    return deadline;
}

}  // namespace halvix::os::internal

#endif  // HALVIX_OS_SRC_DEADLINE_H
