// Memory that runs out at any allocation of open and of a listing's growth: for N = 1, 2, ...
// the N-th allocation of the call fails, until the call makes fewer than N. Each failure
// gives -201 (open: no handle and its failure line), leaves the caller's list pointer alone
// and leaves no block behind; every call the failure did not reach, or that the C library
// absorbed (a stream without its buffer still reads), gives the complete result.
#include "failing_allocator.hpp"

#include "log_recorder.hpp"
#include "shell_interceptor.hpp"
#include "standin_harness.hpp"
#include "test_side.hpp"

#include <zorapp.h>
#include <zorsys.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace hardening {
namespace {

char kName[] = "web";
constexpr int kMissing = ZOR_SYS_EMISSING;

// A listing to run: it returns the code, and on success the entries as texts.
struct Listing {
    const char *name;
    std::function<std::string(int index)> line;   // the tool's output line for an entry
    std::string header;                           // printed before the entries
    std::function<std::string(int index)> entry;  // what the entry must read
    std::function<int(std::vector<std::string> &entries, bool &untouched)> call;
};

template <typename List, typename Text, typename Release>
int collect(int code, List **list, List **marker, std::vector<std::string> &entries,
            bool &untouched, Text text, Release release) {
    // The test's own copies are no allocations of the listing.
    const client_test::TestDoubleScope test_side;
    untouched = list == marker;
    if (code == 0 && list != nullptr) {
        for (List **entry = list; *entry != nullptr; ++entry) {
            entries.push_back(text(*entry));
        }
        release(list);
    }
    return code;
}

std::string name_text(const char *entry) {
    return entry;
}

std::string pair_text(const zor_app_pid_pair *pair) {
    return std::to_string(pair->pid) + "," + std::to_string(pair->vpid);
}

char *name_marker[1];
zor_app_pid_pair *pair_marker[1];

using ListingCall = std::function<int(std::vector<std::string> &entries, bool &untouched)>;

// A listing of names that takes nothing but the list.
ListingCall names_from(int (*get)(char ***), int (*release)(char **)) {
    return [get, release](std::vector<std::string> &entries, bool &untouched) {
        char **list = name_marker;
        const int code = get(&list);
        return collect(code, list, name_marker, entries, untouched, name_text, release);
    };
}

// A listing of names for a handle of the given type.
template <typename Handle>
ListingCall names_from(int (*get)(Handle *, char ***), int (*release)(char **), std::int32_t type) {
    return [get, release, type](std::vector<std::string> &entries, bool &untouched) {
        Handle handle{type, kName};
        char **list = name_marker;
        const int code = get(&handle, &list);
        return collect(code, list, name_marker, entries, untouched, name_text, release);
    };
}

std::string plain(int index) {
    return "entry-" + std::to_string(index);
}

const std::vector<Listing> &listings() {
    static const std::vector<Listing> table = {
        {"zor_sys_get_container_list", plain, "", plain,
         names_from(zor_sys_get_container_list, zor_sys_release_container_list)},
        {"zor_sys_get_base_list", plain, "", plain,
         names_from(zor_sys_get_base_list, zor_sys_release_base_list)},
        {"zor_sys_get_snapshot_list (table)",
         [](int index) {
             return "  " + std::to_string(index) + " snap-" + std::to_string(index) + " date";
         },
         "ID NAME DATE", [](int index) { return "snap-" + std::to_string(index); },
         names_from(zor_sys_get_snapshot_list, zor_sys_release_snapshot_list, 100)},
        {"zor_sys_get_checkpoint_list", plain, "", plain,
         names_from(zor_sys_get_checkpoint_list, zor_sys_release_checkpoint_list, 0)},
        {"zor_app_get_container_list", plain, "", plain,
         names_from(zor_app_get_container_list, zor_app_release_container_list)},
        {"zor_app_get_base_list", plain, "", plain,
         names_from(zor_app_get_base_list, zor_app_release_base_list)},
        {"zor_app_get_snapshot_list (table)",
         [](int index) { return "tag-" + std::to_string(index) + "\tdate"; }, "TAG DATE",
         [](int index) { return "tag-" + std::to_string(index); },
         names_from(zor_app_get_snapshot_list, zor_app_release_snapshot_list, 1)},
        {"zor_app_get_registered_pid_list",
         [](int index) { return std::to_string(100 + index) + "," + std::to_string(index); },
         "PID,VPID",
         [](int index) { return std::to_string(100 + index) + "," + std::to_string(index); },
         [](std::vector<std::string> &entries, bool &untouched) {
             zor_app_handle handle{0, kName};
             zor_app_pid_pair **list = pair_marker;
             const int code = zor_app_get_registered_pid_list(&handle, &list);
             return collect(code, list, pair_marker, entries, untouched, pair_text,
                            zor_app_release_registered_pid_list);
         }},
    };
    return table;
}

class AllocationFailure : public ::testing::Test {
protected:
    void SetUp() override {
        client_test::reset_shell();
        client_test::clear_logged_lines();
    }
    void TearDown() override { client_test::reset_shell(); }
};

TEST_F(AllocationFailure, AtEveryAllocationOfAListingAndItsGrowth) {
    // Up to 40 entries: the array grows past its first capacities on the way.
    for (const Listing &listing : listings()) {
        for (const int count : {1, 2, 3, 16, 17, 40}) {
            std::string output = listing.header.empty() ? "" : listing.header + "\n";
            std::vector<std::string> expected;
            for (int index = 0; index < count; ++index) {
                output += listing.line(index) + "\n";
                expected.push_back(listing.entry(index));
            }
            const std::string what =
                std::string(listing.name) + ", " + std::to_string(count) + " entries, allocation ";
            long refused = 0;
            for (long fail_at = 1;; ++fail_at) {
                client_test::fake_shell(0, output);
                std::vector<std::string> entries;
                bool untouched = false;
                FailingAllocations allocations(fail_at);
                const int code = listing.call(entries, untouched);
                allocations.stop();
                ASSERT_EQ(allocations.outstanding(), 0) << what << fail_at;
                if (code != 0) {
                    ASSERT_EQ(code, kMissing) << what << fail_at;
                    ASSERT_TRUE(untouched) << what << fail_at;
                    ASSERT_EQ(allocations.failures(), 1) << what << fail_at;
                    ++refused;
                } else {
                    ASSERT_EQ(entries, expected) << what << fail_at;
                }
                if (allocations.allocations() < fail_at) {
                    ASSERT_EQ(code, 0) << what << fail_at;
                    break;
                }
            }
            // At least every entry's own block must have failed once.
            EXPECT_GE(refused, count) << listing.name << ", " << count << " entries";
        }
    }
}

template <typename Handle, typename Open, typename Close>
void open_failing_each_allocation(const char *name, const std::string &info_line, Open open,
                                  Close close) {
    long refused = 0;
    for (long fail_at = 1;; ++fail_at) {
        client_test::fake_shell(0, info_line);
        client_test::clear_logged_lines();
        FailingAllocations allocations(fail_at);
        Handle *handle = open(kName);
        allocations.stop();
        const std::vector<client_test::LogLine> lines = client_test::logged_lines();
        ASSERT_EQ(lines.size(), 1u) << name << " " << fail_at;
        if (handle == nullptr) {
            ++refused;
            ASSERT_EQ(allocations.outstanding(), 0) << name << " " << fail_at;
            EXPECT_EQ(lines[0].priority, 3);
            EXPECT_NE(lines[0].message.find("(ErrNo=-201)"), std::string::npos) << lines[0].message;
        } else {
            EXPECT_EQ(handle->type, 7) << name << " " << fail_at;
            EXPECT_EQ(std::string(handle->name), kName);
            EXPECT_EQ(lines[0].priority, 6);
            close(handle);
            ASSERT_EQ(allocations.outstanding(), 0) << name << " " << fail_at;
        }
        if (allocations.allocations() < fail_at) {
            ASSERT_NE(handle, nullptr) << name;
            break;
        }
    }
    // The handle record and the copy of the name.
    EXPECT_GE(refused, 2) << name;
}

TEST_F(AllocationFailure, AtEveryAllocationOfOpen) {
    open_failing_each_allocation<zor_sys_handle>("zor_sys_open", "TYPE 7\n", zor_sys_open,
                                                 zor_sys_close);
    open_failing_each_allocation<zor_app_handle>("zor_app_open", "CONTAINER_TYPE 7\n", zor_app_open,
                                                 zor_app_close);
}

TEST_F(AllocationFailure, EndlessListingRunsIntoTheCeiling) {
    // A tool that never stops printing, through the real shell: the listing runs out of
    // memory at the ceiling, gives -201 and keeps nothing; closing the pipe ends the tool.
    constexpr std::size_t kCeiling = std::size_t{8} << 20;
    {
        // Without the failing allocator in charge the tool's output would fill the memory.
        // Called through a volatile pointer, so the compiler cannot leave the call out.
        void *(*volatile allocate)(std::size_t) = std::malloc;
        FailingAllocations probe(1);
        void *block = allocate(16);
        probe.stop();
        const bool refused = block == nullptr;
        std::free(block);
        ASSERT_TRUE(refused) << "another allocator replaced the failing one";
    }
    standin::Session tools;
    tools.script("zor-sys", "list", standin::repeats("entry\n", 0));
    tools.script("zor-app", "pidlist", standin::repeats("12,34\n", 0));
    {
        FailingAllocations allocations(0, kCeiling);
        char **list = name_marker;
        const int code = zor_sys_get_container_list(&list);
        allocations.stop();
        EXPECT_EQ(code, kMissing);
        EXPECT_EQ(list, name_marker);
        EXPECT_GE(allocations.failures(), 1);
        EXPECT_EQ(allocations.outstanding(), 0);
    }
    {
        FailingAllocations allocations(0, kCeiling);
        zor_app_handle handle{0, kName};
        zor_app_pid_pair **list = pair_marker;
        const int code = zor_app_get_registered_pid_list(&handle, &list);
        allocations.stop();
        EXPECT_EQ(code, kMissing);
        EXPECT_EQ(list, pair_marker);
        EXPECT_GE(allocations.failures(), 1);
        EXPECT_EQ(allocations.outstanding(), 0);
    }
}

}  // namespace
}  // namespace hardening
