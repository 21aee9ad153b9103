// oneTBB's concurrent_bounded_queue: blocking push and pop with a capacity.
#include "peers.h"
#include "register.h"

#include <tbb/concurrent_queue.h>

namespace compare {
namespace {

class TbbQueue
{
public:
    explicit TbbQueue(int slots) { m_queue.set_capacity(slots); }
    void push(void* message) { m_queue.push(message); }
    void* pop()
    {
        void* message = nullptr;
        m_queue.pop(message);
        return message;
    }

private:
    tbb::concurrent_bounded_queue<void*> m_queue;
};

}  // namespace

void registerTbb(Registry& registry)
{
    registerQueueAndWorker<TbbQueue>(registry, "TBB");
    registry.note(
        "TBB: concurrent_bounded_queue with set_capacity(1024); dispatch is a worker thread over it; "
        "no timers.");
}

}  // namespace compare
