// An allocator for the allocation-failure tests: it replaces malloc, calloc, realloc and
// free for the whole program, and while armed on a thread it fails the n-th allocation that
// thread makes outside the test doubles (or every allocation past a ceiling of live bytes),
// and keeps account of every block allocated while armed until it is freed, so that a test
// can tell that a failed call left nothing behind. It cannot run beside a sanitizer's
// allocator; valgrind replaces it with its own and checks the same program for leaks.
#pragma once

#include <cstddef>

namespace hardening {

class FailingAllocations {
public:
    // Fails the fail_at-th allocation (1 for the first; 0 for none); with a ceiling, also
    // every allocation that would take the live bytes allocated while armed past it.
    explicit FailingAllocations(long fail_at, std::size_t ceiling = 0) noexcept;
    ~FailingAllocations();
    FailingAllocations(const FailingAllocations &) = delete;
    FailingAllocations &operator=(const FailingAllocations &) = delete;

    // Stops counting and failing; blocks allocated so far stay accounted until freed.
    void stop() noexcept;

    long allocations() const noexcept;  // made while armed, the failed ones included
    long failures() const noexcept;
    // Blocks allocated while armed and not yet freed.
    long outstanding() const noexcept;
};

}  // namespace hardening
