// Counts the heap allocations that the current thread makes outside the test doubles, for
// as long as a HeapCount lives. The program that links this replaces the allocator (or,
// under AddressSanitizer, installs the sanitizer's allocation hook).
#pragma once

namespace client_test {

class HeapCount {
public:
    HeapCount() noexcept;
    ~HeapCount();
    HeapCount(const HeapCount &) = delete;
    HeapCount &operator=(const HeapCount &) = delete;

    long allocations() const noexcept;
};

}  // namespace client_test
