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

// The allocations of the C library for reading one line from a command's stream (popen,
// fgets, pclose): what any operation that reads a tool's output costs at the least.
long stream_line_allocations(const char *command);

}  // namespace client_test
