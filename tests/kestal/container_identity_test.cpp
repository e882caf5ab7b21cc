// The container-name lookup: its line rule, and the one-time read of /proc/self/cgroup.
#include <kestal.h>

#include "child_process.hpp"
#include "container_identity.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using kestal::test::run_in_child;

struct LineCase {
    const char *line;
    bool matches;
    const char *name;
};

void PrintTo(const LineCase &c, std::ostream *os) {
    *os << '"' << c.line << '"';
}

class CgroupLine : public testing::TestWithParam<LineCase> {};

TEST_P(CgroupLine, YieldsTheContainerName) {
    char name[256];
    std::memset(name, 'X', sizeof name);
    EXPECT_EQ(kestal::identity::parse_cgroup_line(GetParam().line, name, sizeof name),
              GetParam().matches);
    EXPECT_STREQ(name, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CgroupLine,
    testing::Values(
        LineCase{"2:ns,cpu:/web01\n", true, "web01"}, LineCase{"2:ns,cpu:/web01", true, "web01"},
        LineCase{"3:cpuset,ns,cpu:/a/b\n", true, "a/b"},
        // "ns" as the last controller: its ":" is taken by the bracket, no ":/" follows.
        LineCase{"1:ns:/web01\n", false, ""}, LineCase{"4:cpu,ns:/x\n", false, ""},
        // An empty group matches but names no container.
        LineCase{"2:ns,cpu:/\n", true, ""},
        // The name is what follows the last ":/" of the line.
        LineCase{"2:ns,cpu:/a:/b\n", true, "b"}, LineCase{"1:ns:/x:/y\n", true, "y"},
        LineCase{"5:,ns,:/c\n", true, "c"}, LineCase{"5:cpu,ns,mem:/c d\n", true, "c d"},
        LineCase{"2:dns,cpu:/web\n", false, ""}, LineCase{"2:nsx,cpu:/web\n", false, ""},
        LineCase{"2:NS,cpu:/web\n", false, ""}, LineCase{"0::/\n", false, ""},
        LineCase{"", false, ""}, LineCase{"2:ns,cpu:web\n", false, ""},
        // Only up to the newline: matching is newline-sensitive.
        LineCase{"2:ns,cpu:/web01\n9:ns,cpu:/other\n", true, "web01"}));

TEST(CgroupLine, LongNameIsCutToTheBuffer) {
    const std::string line = "2:ns,cpu:/" + std::string(300, 'n') + "\n";
    char name[8];
    EXPECT_TRUE(kestal::identity::parse_cgroup_line(line.c_str(), name, sizeof name));
    EXPECT_STREQ(name, "nnnnnnn");
}

// In a child with a mount namespace of its own, a file of the test's is bound over the
// child's /proc/<pid>/cgroup, so the lookup reads the real path without depending on this
// machine's control groups.
struct LookupOutcome {
    int status;  // 0 when the child ran the lookup
    std::string err;
    std::string name;
    int is_container;
};

LookupOutcome lookup_with_cgroup_file(const std::string &content, bool remove_proc = false) {
    char path[] = "/tmp/kestal-cgroup-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 ||
        write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        return {-1, "cannot write the cgroup file", "", 0};
    }
    close(fd);
    char result_path[] = "/tmp/kestal-name-XXXXXX";
    const int result_fd = mkstemp(result_path);
    const auto child = run_in_child([&]() -> int {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return 77;
        }
        const std::string target = "/proc/" + std::to_string(getpid()) + "/cgroup";
        if (remove_proc) {
            if (mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0) {
                return 77;
            }
        } else if (mount(path, target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            return 77;
        }
        const std::string first = get_container_name();
        const int flag = is_container();
        // A second call must neither read again nor print again.
        if (first != get_container_name()) {
            return 3;
        }
        const std::string report = std::to_string(flag) + first;
        return write(result_fd, report.data(), report.size()) == static_cast<ssize_t>(report.size())
                   ? 0
                   : 4;
    });
    unlink(path);
    LookupOutcome outcome{child.exit_code(), child.err, "", 0};
    std::string report(512, '\0');
    const ssize_t got = pread(result_fd, report.data(), report.size(), 0);
    close(result_fd);
    unlink(result_path);
    if (got > 0) {
        report.resize(static_cast<std::size_t>(got));
        outcome.is_container = report[0] - '0';
        outcome.name = report.substr(1);
    }
    return outcome;
}

#define REQUIRE_LOOKUP_CHILD(outcome)                                               \
    do {                                                                            \
        if ((outcome).status == 77) {                                               \
            GTEST_SKIP() << "no private mount namespace for the child (not root?)"; \
        }                                                                           \
        ASSERT_EQ((outcome).status, 0) << (outcome).err;                            \
    } while (0)

struct FileCase {
    const char *content;
    const char *name;
};

void PrintTo(const FileCase &c, std::ostream *os) {
    *os << '"' << c.content << '"';
}

class CgroupFile : public testing::TestWithParam<FileCase> {};

TEST_P(CgroupFile, OnlyTheFirstLineIsExamined) {
    const LookupOutcome outcome = lookup_with_cgroup_file(GetParam().content);
    REQUIRE_LOOKUP_CHILD(outcome);
    EXPECT_EQ(outcome.name, GetParam().name);
    EXPECT_EQ(outcome.is_container, GetParam().name[0] != '\0' ? 1 : 0);
    EXPECT_EQ(outcome.err, "");
}

INSTANTIATE_TEST_SUITE_P(Files, CgroupFile,
                         testing::Values(FileCase{"2:ns,cpu:/web01\n1:cpu:/\n", "web01"},
                                         FileCase{"3:cpuset,ns,cpu:/a/b\n", "a/b"},
                                         FileCase{"1:cpu:/\n2:ns,cpu:/web01\n",
                                                  ""},  // a later line is never seen
                                         FileCase{"2:ns,cpu:/\n", ""}, FileCase{"", ""},
                                         FileCase{"2:ns,cpu:/web01", "web01"}));

TEST(CgroupFile, FirstLineIsReadUpTo255Characters) {
    // 10 characters of prefix, then the name: the lookup sees 255 characters of the line.
    const LookupOutcome outcome =
        lookup_with_cgroup_file("2:ns,cpu:/" + std::string(400, 'w') + "\n");
    REQUIRE_LOOKUP_CHILD(outcome);
    EXPECT_EQ(outcome.name, std::string(245, 'w'));
}

TEST(CgroupFile, MissingFileIsReportedOnceAndGivesNoName) {
    const LookupOutcome outcome = lookup_with_cgroup_file("", true);
    REQUIRE_LOOKUP_CHILD(outcome);
    EXPECT_EQ(outcome.name, "");
    EXPECT_EQ(outcome.is_container, 0);
    EXPECT_EQ(outcome.err, "fopen: No such file or directory\n");
}

TEST(ContainerName, CopyHasStrncpySemantics) {
    const auto child = run_in_child([]() -> int {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return 77;
        }
        char path[] = "/tmp/kestal-cgroup-XXXXXX";
        const int fd = mkstemp(path);
        const char line[] = "2:ns,cpu:/web01\n";
        if (fd < 0 || write(fd, line, sizeof line - 1) != sizeof line - 1) {
            return 2;
        }
        close(fd);
        const std::string target = "/proc/" + std::to_string(getpid()) + "/cgroup";
        const int bound = mount(path, target.c_str(), nullptr, MS_BIND, nullptr);
        unlink(path);
        if (bound != 0) {
            return 77;
        }
        char short_buffer[8];
        std::memset(short_buffer, '#', sizeof short_buffer);
        if (kestal_get_container_name(short_buffer, 4) != short_buffer ||
            std::memcmp(short_buffer, "web0####", 8) != 0) {
            return 3;  // four characters, no terminator, nothing beyond the count
        }
        char long_buffer[10];
        std::memset(long_buffer, '#', sizeof long_buffer);
        kestal_get_container_name(long_buffer, 8);
        if (std::memcmp(long_buffer, "web01\0\0\0##", 10) != 0) {
            return 4;  // the rest of the count filled with NUL bytes
        }
        return 0;
    });
    if (child.exit_code() == 77) {
        GTEST_SKIP() << "no private mount namespace for the child (not root?)";
    }
    EXPECT_EQ(child.exit_code(), 0) << child.err;
}

TEST(ContainerName, ConcurrentFirstCallsAllSeeTheOneLookup) {
    const auto child = run_in_child([]() -> int {
        constexpr int kThreads = 8;
        std::vector<const char *> seen(kThreads);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back(
                [&seen, i] { seen[static_cast<std::size_t>(i)] = get_container_name(); });
        }
        for (std::thread &thread : threads) {
            thread.join();
        }
        for (const char *name : seen) {
            if (name == nullptr || name != seen[0]) {
                return 1;  // one cached pointer, never null
            }
        }
        return 0;
    });
    EXPECT_EQ(child.exit_code(), 0) << child.err;
}

}  // namespace
