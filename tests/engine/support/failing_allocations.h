#pragma once

#include <cstddef>

namespace qel::test {

// While alive, every allocation through operator new of at least `bytes` throws std::bad_alloc,
// as it does when the address space or a job's memory limit is exhausted. Smaller ones succeed.
class FailingAllocations {
public:
    explicit FailingAllocations(size_t bytes);
    ~FailingAllocations();
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;
};

}  // namespace qel::test
