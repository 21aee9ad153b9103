// Test support: makes allocations fail on purpose. A test binary that links
// common/FailingAllocation.cpp replaces the global operator new (the
// library's allocations included); while a FailingAllocations object lives,
// the allocations of the thread that made it fail once `allowed` of them have
// succeeded: the throwing forms throw std::bad_alloc, the nothrow forms
// return null. Other threads allocate normally throughout.
#ifndef HALVIX_TESTS_COMMON_FAILINGALLOCATION_H
#define HALVIX_TESTS_COMMON_FAILINGALLOCATION_H

namespace halvix::test {

class FailingAllocations
{
public:
    explicit FailingAllocations(int allowed = 0);
    ~FailingAllocations();
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;

    // Allocations refused so far.
    int refused() const;
};

}  // namespace halvix::test

#endif  // HALVIX_TESTS_COMMON_FAILINGALLOCATION_H
