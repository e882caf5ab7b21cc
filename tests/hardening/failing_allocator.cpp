// The failing allocator.
#include "failing_allocator.hpp"

#include "test_side.hpp"

#include <cstdint>

extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *pointer, std::size_t size);
void __libc_free(void *pointer);
}

namespace hardening {

namespace {

thread_local bool armed = false;
thread_local long counted = 0;
thread_local long failed = 0;
thread_local long fail_at_count = 0;
thread_local std::size_t ceiling_bytes = 0;

// The blocks allocated while armed: an open-addressing table with a fixed size, since the
// allocator cannot allocate for itself. Erased slots keep a tombstone.
constexpr std::size_t kSlots = std::size_t{1} << 20;
constexpr std::uintptr_t kTombstone = 1;
struct Slot {
    std::uintptr_t address;
    std::size_t size;
};
Slot slots[kSlots];
long live_blocks = 0;
std::size_t live_bytes = 0;

std::size_t slot_of(std::uintptr_t address) noexcept {
    return (address >> 4) * 0x9E3779B97F4A7C15ULL % kSlots;
}

void remember(void *pointer, std::size_t size) noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(pointer);
    for (std::size_t probe = 0, at = slot_of(address); probe < kSlots;
         ++probe, at = (at + 1) % kSlots) {
        if (slots[at].address == 0 || slots[at].address == kTombstone) {
            slots[at] = {address, size};
            ++live_blocks;
            live_bytes += size;
            return;
        }
    }
}

void forget(void *pointer) noexcept {
    if (pointer == nullptr || live_blocks == 0) {
        return;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(pointer);
    for (std::size_t probe = 0, at = slot_of(address); probe < kSlots;
         ++probe, at = (at + 1) % kSlots) {
        if (slots[at].address == 0) {
            return;
        }
        if (slots[at].address == address) {
            slots[at].address = kTombstone;
            --live_blocks;
            live_bytes -= slots[at].size;
            return;
        }
    }
}

std::size_t size_of(void *pointer) noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(pointer);
    for (std::size_t probe = 0, at = slot_of(address); probe < kSlots;
         ++probe, at = (at + 1) % kSlots) {
        if (slots[at].address == 0) {
            return 0;
        }
        if (slots[at].address == address) {
            return slots[at].size;
        }
    }
    return 0;
}

bool watched() noexcept {
    return armed && !client_test::in_test_double();
}

// Counts the allocation; true when it must fail.
bool must_fail(std::size_t grows_by) noexcept {
    if (!watched()) {
        return false;
    }
    ++counted;
    const bool fails =
        counted == fail_at_count || (ceiling_bytes != 0 && live_bytes + grows_by > ceiling_bytes);
    if (fails) {
        ++failed;
    }
    return fails;
}

}  // namespace

FailingAllocations::FailingAllocations(long fail_at, std::size_t ceiling) noexcept {
    counted = 0;
    failed = 0;
    fail_at_count = fail_at;
    ceiling_bytes = ceiling;
    armed = true;
}

FailingAllocations::~FailingAllocations() {
    stop();
}

void FailingAllocations::stop() noexcept {
    armed = false;
}

long FailingAllocations::allocations() const noexcept {
    return counted;
}

long FailingAllocations::failures() const noexcept {
    return failed;
}

long FailingAllocations::outstanding() const noexcept {
    return live_blocks;
}

}  // namespace hardening

using hardening::forget;
using hardening::must_fail;
using hardening::remember;
using hardening::watched;

extern "C" {

void *malloc(std::size_t size) {
    if (must_fail(size)) {
        return nullptr;
    }
    void *pointer = __libc_malloc(size);
    if (pointer != nullptr && watched()) {
        remember(pointer, size);
    }
    return pointer;
}

void *calloc(std::size_t count, std::size_t size) {
    if (must_fail(count * size)) {
        return nullptr;
    }
    void *pointer = __libc_calloc(count, size);
    if (pointer != nullptr && watched()) {
        remember(pointer, count * size);
    }
    return pointer;
}

void *realloc(void *pointer, std::size_t size) {
    const std::size_t old_size = pointer != nullptr ? hardening::size_of(pointer) : 0;
    if (must_fail(size > old_size ? size - old_size : 0)) {
        return nullptr;
    }
    void *grown = __libc_realloc(pointer, size);
    if (grown != nullptr || size == 0) {
        const bool was_tracked = old_size != 0;
        forget(pointer);
        if (grown != nullptr && (watched() || was_tracked)) {
            remember(grown, size);
        }
    }
    return grown;
}

void free(void *pointer) {
    forget(pointer);
    __libc_free(pointer);
}
}
