#pragma once

#include <cstddef>

namespace qel::test {

// While alive, every allocation of at least `fromBytes` through operator new throws std::bad_alloc
// (or gives null for the nothrow forms) in this test program, as when the address space or a job's
// memory limit is exhausted; smaller ones succeed. Reaches the product units linked into the test
// program, not a DLL with a runtime of its own. Counts what it refused. With a thread id, only that
// thread's allocations are refused, so that a test's fakes running beside it keep working.
class FailAllocations {
public:
    explicit FailAllocations(size_t fromBytes = 0, unsigned long onlyThread = 0);
    ~FailAllocations();
    FailAllocations(const FailAllocations&) = delete;
    FailAllocations& operator=(const FailAllocations&) = delete;
    static long refused();
};

}  // namespace qel::test
