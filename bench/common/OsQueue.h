// bench/common/OsQueue.h - halvix's OS message queue as a queue adapter.
//
// Owns one os::osQueue for its lifetime; push and pop block without a time-out
// (-1), like every other adapter: constructed from a slot count,
// `void push(void*)`, `void* pop()`.
#ifndef HALVIX_BENCH_COMMON_OSQUEUE_H
#define HALVIX_BENCH_COMMON_OSQUEUE_H

#include <halvix/os/osQueue.h>

namespace bench {

class OsQueue
{
public:
    explicit OsQueue(int slots) : m_queue(halvix::os::osQueueCreate(slots)) {}
    ~OsQueue() { halvix::os::osQueueDestroy(m_queue); }
    OsQueue(const OsQueue&) = delete;
    OsQueue& operator=(const OsQueue&) = delete;

    void push(void* message) { halvix::os::osQueueWrite(m_queue, message, -1); }
    void* pop()
    {
        void* message = nullptr;
        halvix::os::osQueueRead(m_queue, &message, -1);
        return message;
    }

private:
    void* m_queue;
};

}  // namespace bench

#endif  // HALVIX_BENCH_COMMON_OSQUEUE_H
