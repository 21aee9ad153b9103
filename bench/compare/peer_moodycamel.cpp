// moodycamel::BlockingConcurrentQueue, bounded by preallocation: writers use
// try_enqueue, which never allocates, and yield while the queue is full (the
// queue has no blocking enqueue).
#include "peers.h"
#include "register.h"

#include <blockingconcurrentqueue.h>

#include <thread>

namespace compare {
namespace {

class MoodycamelQueue
{
public:
    explicit MoodycamelQueue(int slots) : m_queue(static_cast<size_t>(slots)) {}
    void push(void* message)
    {
        while (!m_queue.try_enqueue(message)) {
            std::this_thread::yield();
        }
    }
    void* pop()
    {
        void* message = nullptr;
        m_queue.wait_dequeue(message);
        return message;
    }

private:
    moodycamel::BlockingConcurrentQueue<void*> m_queue;
};

}  // namespace

void registerMoodycamel(Registry& registry)
{
    registerQueueAndWorker<MoodycamelQueue>(registry, "moodycamel");
    registry.note("moodycamel: BlockingConcurrentQueue preallocated for 1024 (its bound is approximate: "
                  "blocks of 32 per producer), try_enqueue + yield when full; dispatch is a worker thread "
                  "over it; no timers.");
}

}  // namespace compare
