#include "common/FailingAllocation.h"

#include <cstdlib>
#include <new>

namespace {

// Per thread, so that only the thread under test sees the failures. Constant
// initialised: operator new may run before any dynamic initialiser.
thread_local bool failing = false;
thread_local int allowed = 0;
thread_local int refusedCount = 0;

bool refuseThisOne()
{
    if (!failing) {
        return false;
    }
    if (allowed > 0) {
        --allowed;
        return false;
    }
    ++refusedCount;
    return true;
}

void* allocate(std::size_t size)
{
    return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

namespace halvix::test {

FailingAllocations::FailingAllocations(int allowedAllocations)
{
    allowed = allowedAllocations;
    refusedCount = 0;
    failing = true;
}

FailingAllocations::~FailingAllocations()
{
    failing = false;
}

int FailingAllocations::refused() const
{
    return refusedCount;
}

}  // namespace halvix::test

void* operator new(std::size_t size)
{
    void* memory = refuseThisOne() ? nullptr : allocate(size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

void* operator new[](std::size_t size)
{
    return operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return refuseThisOne() ? nullptr : allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return refuseThisOne() ? nullptr : allocate(size);
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory, std::size_t) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, const std::nothrow_t&) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory, const std::nothrow_t&) noexcept
{
    std::free(memory);
}
