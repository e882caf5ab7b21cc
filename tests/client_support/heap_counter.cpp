// The allocation counter: an allocator that counts and then defers to the C library's own.
#include "heap_counter.hpp"

#include "test_side.hpp"

#include <cstddef>
#include <cstdio>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HEAP_COUNTER_WITH_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define HEAP_COUNTER_WITH_SANITIZER 1
#endif

namespace client_test {

namespace {
thread_local bool counting = false;
thread_local long counted = 0;

void count_allocation() noexcept {
    if (counting && !in_test_double()) {
        ++counted;
    }
}
}  // namespace

HeapCount::HeapCount() noexcept {
    counted = 0;
    counting = true;
}

HeapCount::~HeapCount() {
    counting = false;
}

long HeapCount::allocations() const noexcept {
    return counted;
}

long stream_line_allocations(const char *command) {
    char line[1024];
    const HeapCount count;
    std::FILE *stream = popen(command, "r");
    if (stream != nullptr) {
        if (std::fgets(line, sizeof line, stream) == nullptr) {
            line[0] = '\0';
        }
        pclose(stream);
    }
    return count.allocations();
}

}  // namespace client_test

#if defined(HEAP_COUNTER_WITH_SANITIZER)

// The sanitizer runtime's hook interface (its header does not ship with every compiler).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void *,
                                                                             std::size_t),
                                                         void (*free_hook)(const volatile void *));

namespace {

void on_malloc(const volatile void *, std::size_t) {
    client_test::count_allocation();
}
void on_free(const volatile void *) {}

// Installed before main, so every test of the program counts.
const int hooks_installed = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);

}  // namespace

#else

extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *pointer, std::size_t size);
void __libc_free(void *pointer);

void *malloc(std::size_t size) {
    client_test::count_allocation();
    return __libc_malloc(size);
}

void *calloc(std::size_t count, std::size_t size) {
    client_test::count_allocation();
    return __libc_calloc(count, size);
}

void *realloc(void *pointer, std::size_t size) {
    client_test::count_allocation();
    return __libc_realloc(pointer, size);
}

void free(void *pointer) {
    __libc_free(pointer);
}
}

#endif
