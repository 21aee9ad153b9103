// The lock and the wake-up that the forwarding links of every queue share, never destroyed.
#include "halvix/queue/src/QueueLinks.h"

namespace halvix::queue {

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

}  // namespace halvix::queue
