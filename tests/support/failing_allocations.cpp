#include "tests/support/failing_allocations.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {
std::atomic<size_t> g_refuseFrom{SIZE_MAX};
std::atomic<DWORD> g_refuseThread{0};  // 0: every thread
std::atomic<long> g_refused{0};
}  // namespace

// The program's own allocation functions, so that a test can make them fail.
void* operator new(std::size_t size) {
    if (size >= g_refuseFrom && (g_refuseThread == 0 || g_refuseThread == GetCurrentThreadId())) {
        ++g_refused;
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace qel::test {

FailAllocations::FailAllocations(size_t fromBytes, unsigned long onlyThread) {
    g_refused = 0;
    g_refuseThread = onlyThread;
    g_refuseFrom = fromBytes;
}
FailAllocations::~FailAllocations() { g_refuseFrom = SIZE_MAX; }
long FailAllocations::refused() { return g_refused; }

}  // namespace qel::test
