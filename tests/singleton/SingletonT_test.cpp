// SingletonT: one instance however many threads ask first.
#include <halvix/singleton/SingletonT.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using halvix::singleton::SingletonT;

std::atomic<int> slowConstructions{0};

// Slow to construct, so that racing first calls overlap inside creation.
struct Slow
{
    Slow()
    {
        slowConstructions.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    int value = 42;
};

TEST(SingletonT, RacingFirstCallsConstructOnce)
{
    constexpr int threads = 8;
    std::atomic<bool> go{false};
    std::vector<Slow*> seen(threads, nullptr);
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i) {
        pool.emplace_back([&, i] {
            while (!go.load()) {
            }
            seen[i] = SingletonT<Slow>::getInstancePtr();
        });
    }
    go.store(true);
    for (auto& thread : pool) {
        thread.join();
    }
    EXPECT_EQ(slowConstructions.load(), 1);
    for (Slow* instance : seen) {
        ASSERT_EQ(instance, seen[0]);
        EXPECT_EQ(instance->value, 42);  // the finished object is visible
    }
    EXPECT_EQ(SingletonT<Slow>::getInstancePtr(), seen[0]);
}

int failuresLeft = 1;

struct FailsOnce
{
    FailsOnce()
    {
        if (failuresLeft-- > 0) {
            throw std::runtime_error("not yet");
        }
    }
};

TEST(SingletonT, ThrowingConstructorLeavesItUnsetForTheNextCall)
{
    EXPECT_THROW(SingletonT<FailsOnce>::getInstancePtr(), std::runtime_error);
    FailsOnce* instance = SingletonT<FailsOnce>::getInstancePtr();
    EXPECT_NE(instance, nullptr);
    EXPECT_EQ(SingletonT<FailsOnce>::getInstancePtr(), instance);
}

}  // namespace
