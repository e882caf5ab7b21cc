// The logging path allocates nothing: every allocation counted around kestal_log calls is
// one that the same line sent by a direct syslog() call makes as well.
#include <kestal.h>

#include "private_log_socket.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" void *__libc_malloc(std::size_t size);
extern "C" void *__libc_calloc(std::size_t count, std::size_t size);
extern "C" void *__libc_realloc(void *pointer, std::size_t size);

namespace {
// Volatile: the compiler knows the C library's allocating functions and would otherwise
// assume that they cannot reach these counters.
thread_local volatile bool counting = false;
thread_local volatile long allocations = 0;
}  // namespace

// Interposed for the whole test program (exported, so the C library's own calls reach them
// too); only allocations of the counting thread count.
#define INTERPOSED extern "C" __attribute__((visibility("default")))
INTERPOSED void *malloc(std::size_t size) {
    if (counting) {
        allocations = allocations + 1;
    }
    return __libc_malloc(size);
}
INTERPOSED void *calloc(std::size_t count, std::size_t size) {
    if (counting) {
        allocations = allocations + 1;
    }
    return __libc_calloc(count, size);
}
INTERPOSED void *realloc(void *pointer, std::size_t size) {
    if (counting) {
        allocations = allocations + 1;
    }
    return __libc_realloc(pointer, size);
}
namespace {

template <typename Body>
long count_allocations(Body body) {
    allocations = 0;
    counting = true;
    body();
    counting = false;
    return allocations;
}

TEST(AllocationCounter, SeesAllocationsMadeInsideTheCLibrary) {
    // Kept in a volatile so that the compiler cannot drop the pair of calls.
    static char *volatile copy;
    EXPECT_EQ(count_allocations([] { copy = strdup("counted"); }), 1);
    std::free(copy);
}

struct TemplateCase {
    const char *name;
    const char *tmpl;
};

class LogAllocations : public testing::TestWithParam<TemplateCase> {};

TEST_P(LogAllocations, KestalLogAddsNoAllocationToTheSyslogCall) {
    KESTAL_REQUIRE_LOG_SOCKET();
    kestal::test::PrivateLogSocket::instance().set_keep_records(false);
    kestal_log_set_format(GetParam().tmpl);
    // The first call fills the one-time caches (program, host and container name).
    kestal_log(LOG_INFO, "file", 1, "func", "warm up %d", 0);
    constexpr int kCalls = 200;
    const long by_kestal = count_allocations([] {
        for (int i = 0; i < kCalls; ++i) {
            kestal_log(LOG_INFO, "file", i, "func", "message number %d of %s", i, "many");
        }
    });
    const std::string line(120, 'x');
    const long by_syslog = count_allocations([&] {
        for (int i = 0; i < kCalls; ++i) {
            syslog(LOG_LOCAL5 | LOG_INFO, "%s\n", line.c_str());
        }
    });
    kestal::test::PrivateLogSocket::instance().set_keep_records(true);
    kestal_log_set_format("%msg%");
    RecordProperty("kestal_log_allocations", static_cast<int>(by_kestal));
    RecordProperty("syslog_allocations", static_cast<int>(by_syslog));
    EXPECT_EQ(by_kestal, by_syslog)
        << "kestal_log made " << by_kestal << " allocations, syslog alone " << by_syslog;
}

INSTANTIATE_TEST_SUITE_P(
    Templates, LogAllocations,
    testing::Values(TemplateCase{"Default", "%msg%"},
                    TemplateCase{"AllKeys",
                                 "%faci% %lvl% %time% %host% %prog% %pid% %msg% "
                                 "%file% %line% %func% %cont%"}),
    [](const testing::TestParamInfo<TemplateCase> &param) { return param.param.name; });

}  // namespace
