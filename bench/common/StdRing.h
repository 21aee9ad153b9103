// bench/common/StdRing.h - the baseline queue anyone can write by hand.
//
// A bounded ring on std::mutex and two std::condition_variable's with blocking
// push (waits while full) and pop (waits while empty), the same adapter shape
// as OsQueue: constructed from a slot count, `void push(void*)`, `void* pop()`.
#ifndef HALVIX_BENCH_COMMON_STDRING_H
#define HALVIX_BENCH_COMMON_STDRING_H

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

namespace bench {

class StdRing
{
public:
    explicit StdRing(int slots) : m_slots(static_cast<size_t>(slots)) {}

    void push(void* message)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_notFull.wait(lock, [this] { return m_count < m_slots.size(); });
        m_slots[(m_head + m_count) % m_slots.size()] = message;
        ++m_count;
        lock.unlock();
        m_notEmpty.notify_one();
    }

    void* pop()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_notEmpty.wait(lock, [this] { return m_count > 0; });
        void* message = m_slots[m_head];
        m_head = (m_head + 1) % m_slots.size();
        --m_count;
        lock.unlock();
        m_notFull.notify_one();
        return message;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_notFull;
    std::condition_variable m_notEmpty;
    std::vector<void*> m_slots;  // guarded by m_mutex
    size_t m_head = 0;           // guarded by m_mutex
    size_t m_count = 0;          // guarded by m_mutex
};

}  // namespace bench

#endif  // HALVIX_BENCH_COMMON_STDRING_H
