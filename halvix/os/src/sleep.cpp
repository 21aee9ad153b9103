// The millisecond sleep behind osTaskSleep.
#include "halvix/os/osQueue.h"

#include <errno.h>
#include <time.h>

namespace halvix::os {

bool __thread_safe_sleep(long ms)
{
    timespec request;
    request.tv_sec = ms / 1000;
    request.tv_nsec = (ms % 1000) * 1000000L;
    timespec remaining;
    // A signal cuts nanosleep short; sleep on for what it left. Any other
    // failure (a negative time, for one) ends the sleep.
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR) {
        request = remaining;
    }
    return true;
}

}  // namespace halvix::os
