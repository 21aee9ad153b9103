// Test support: the replaced global operator new behind FailingAllocations.
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

// Every form is replaced, not only the two the C++ library builds the others
// on: under AddressSanitizer the runtime's versions of any form left out would
// pair with these and be reported as mismatched.
void* operator new(std::size_t size)
{
    void* memory = refuseThisOne() ? nullptr : std::malloc(size == 0 ? 1 : size);
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
    return refuseThisOne() ? nullptr : std::malloc(size == 0 ? 1 : size);
}

void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept
{
    return operator new(size, nothrow);
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
