// The runtime's parsing of what it is given and what it finds: option words, names and
// numbers, the state record, the kernel's mountinfo and /proc/PID/stat, and runc's state file.
// No root needed.
#include "cgroups.hpp"
#include "options.hpp"
#include "process_figures.hpp"
#include "refusal.hpp"
#include "runc.hpp"
#include "state_store.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

// The status of the refusal that call throws, or 0 when it throws none.
int refusal_of(const std::function<void()> &call, std::string *message = nullptr) {
    try {
        call();
    } catch (const zor::Refusal &refusal) {
        if (message != nullptr) {
            *message = refusal.what();
        }
        return refusal.status();
    }
    return 0;
}

TEST(RuntimeParsing, OptionsAreTakenStrictly) {
    const std::vector<zor::OptionWord> allowed{{"-n", true}, {"--snapshot", false}};
    const zor::Options options(Words{"list", "--snapshot", "-n", "a b"}, 1, allowed);
    EXPECT_TRUE(options.has("--snapshot"));
    EXPECT_EQ(options.required("-n"), "a b");
    EXPECT_EQ(options.optional("-t"), "");
    std::string message;
    EXPECT_EQ(refusal_of([&] { options.required("-t"); }, &message), zor::kUsage);
    EXPECT_EQ(message, "option -t is missing");
    const std::vector<std::pair<Words, std::string>> refused{
        {{"v", "-x"}, "unexpected word '-x'"},
        {{"v", "-n", "a", "-n", "b"}, "option -n given twice"},
        {{"v", "-n"}, "option -n needs a value"},
        {{"v", "a"}, "unexpected word 'a'"},
    };
    for (const auto &entry : refused) {
        EXPECT_EQ(refusal_of([&] { zor::Options(entry.first, 1, allowed); }, &message),
                  zor::kUsage);
        EXPECT_EQ(message, entry.second);
    }
}

TEST(RuntimeParsing, NamesNumbersAndPorts) {
    for (const char *name : {"a", "web-1", "x.y", "\xc3\xa9t\xc3\xa9", "...", "-n"}) {
        EXPECT_EQ(refusal_of([&] { zor::checked_name(name, "container"); }), 0) << name;
    }
    for (const char *name : {"", " ", "a b", "a/b", "..", ".", "a\tb", "a\x7f", "a\nb"}) {
        EXPECT_EQ(refusal_of([&] { zor::checked_name(name, "container"); }), zor::kUsage) << name;
    }
    EXPECT_EQ(zor::checked_number("-12", "n"), -12);
    EXPECT_EQ(zor::checked_number("2147483647", "n"), 2147483647);
    for (const char *text : {"", "+1", " 1", "1 ", "0x10", "2147483648", "-2147483649", "1e3"}) {
        EXPECT_EQ(refusal_of([&] { zor::checked_number(text, "n"); }), zor::kUsage) << text;
    }
    EXPECT_EQ(zor::checked_port("65535"), 65535);
    for (const char *text : {"0", "65536", "-1", "http"}) {
        EXPECT_EQ(refusal_of([&] { zor::checked_port(text); }), zor::kUsage) << text;
    }
}

TEST(RuntimeParsing, StateRecordRoundTripsAndRefusesDamage) {
    zor::Container container;
    container.name = "c \"1\"";
    container.type = 100;
    container.options = {{"-m", "64"}, {"-b", "img"}};
    container.base = "img";
    container.base_is_builtin = false;
    container.command = "sleep 1; echo '\\'";
    container.port = 8080;
    container.overlay = true;
    container.complete = false;
    container.limits = {{"mem", "64"}};
    container.snapshots = {{"s", 7, 1700000000, true, {{"cpu", "50"}}}};
    container.groups = {{"g", {{"core", "0-1"}}, {{42, {{"/sys/fs/cgroup/memory", "/x"}}}}}};
    container.registered = {{100, 1}};
    const zor::Container back = zor::container_from_json(zor::container_to_json(container));
    EXPECT_EQ(zor::container_to_json(back), zor::container_to_json(container));
    EXPECT_EQ(back.groups.at(0).bound.at(0).origin.at("/sys/fs/cgroup/memory"), "/x");
    EXPECT_FALSE(back.complete);
    // An old record without the newer fields reads with their defaults.
    const zor::Container old = zor::container_from_json(R"({"name":"o","type":1})");
    EXPECT_TRUE(old.base_is_builtin);
    EXPECT_TRUE(old.complete);
    EXPECT_EQ(old.base, "minimal");
    for (const char *damaged : {"", "{", "[]", R"({"type":1})", R"({"name":"o","type":"1"})",
                                R"({"name":"o","type":1,"limits":[{"kind":1}]})"}) {
        EXPECT_EQ(refusal_of([&] { zor::container_from_json(damaged); }), zor::kStateFailure)
            << damaged;
    }
}

TEST(RuntimeParsing, StateFileIsSavedWholeAndDamageIsRefused) {
    const std::string directory = std::filesystem::temp_directory_path().string() +
                                  "/zor-parsing-" + std::to_string(getpid());
    std::filesystem::create_directories(directory);
    zor::State state;
    state.system.containers["a"].name = "a";
    state.application.next_id = 9;
    zor::save_state(directory, state);
    EXPECT_FALSE(std::filesystem::exists(directory + "/state.json.new"));
    EXPECT_EQ(std::filesystem::status(directory + "/state.json").permissions() &
                  std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const zor::State back = zor::load_state(directory);
    EXPECT_EQ(back.system.containers.count("a"), 1U);
    EXPECT_EQ(back.application.next_id, 9U);
    std::ofstream(directory + "/state.json") << R"({"system":{"containers":{"a":{}}}})";
    EXPECT_EQ(refusal_of([&] { zor::load_state(directory); }), zor::kStateFailure);
    std::filesystem::remove_all(directory);
}

TEST(RuntimeParsing, MountinfoGivesEachCgroupHierarchyOnce) {
    const std::string mountinfo =
        "22 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
        "30 22 0:26 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw,nsdelegate\n"
        "31 22 0:27 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
        "32 22 0:28 / /sys/fs/cgroup/memory rw shared:9 - cgroup cgroup rw,memory\n"
        "33 22 0:29 / /sys/fs/cgroup/systemd rw - cgroup cgroup rw,xattr,name=systemd\n"
        "34 22 0:28 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
        "35 22 0:30 / /mnt/with\\040blank rw - cgroup cgroup rw,pids\n"
        "garbage without a separator\n"
        "36 22 0:31 / - cgroup\n";
    const std::vector<zor::Hierarchy> found = zor::hierarchies_in_mountinfo(mountinfo);
    ASSERT_EQ(found.size(), 5U);
    EXPECT_TRUE(found[0].unified);
    EXPECT_EQ(found[1].mount, "/sys/fs/cgroup/cpu,cpuacct");
    EXPECT_EQ(found[1].controllers, (std::vector<std::string>{"cpu", "cpuacct"}));
    EXPECT_TRUE(found[3].controllers.empty());
    EXPECT_EQ(found[4].mount, "/mnt/with blank");
    EXPECT_TRUE(zor::hierarchies_in_mountinfo("").empty());
}

TEST(RuntimeParsing, ProcessStatCountsFieldsAfterTheLastParenthesis) {
    zor::ProcessStat stat;
    // The command name may hold blanks and parentheses of its own.
    const std::string line =
        "4242 (a) b (c) S 1 4242 4242 0 -1 4194560 100 0 0 0 "
        "7 5 0 0 20 0 1 0 123456 1000 10";
    ASSERT_TRUE(zor::parse_process_stat(line, stat));
    EXPECT_EQ(stat.state, 'S');
    EXPECT_EQ(stat.ticks, 12U);
    EXPECT_EQ(stat.start, 123456U);
    for (const char *damaged : {"", "4242 (name", "4242 (name)"}) {
        EXPECT_FALSE(zor::parse_process_stat(damaged, stat)) << damaged;
    }
    ASSERT_TRUE(zor::read_process_stat(getpid(), stat));
    EXPECT_EQ(stat.state, 'R');
}

TEST(RuntimeParsing, RuncStateFileOrFallBack) {
    zor::RuncStateFile file;
    ASSERT_TRUE(zor::parse_runc_state_file(
        R"({"id":"s-a","init_process_pid":77,"init_process_start":9000,)"
        R"("cgroup_paths":{"memory":"/sys/fs/cgroup/memory/x","":"/sys/fs/cgroup/x","bad":1}})",
        file));
    EXPECT_EQ(file.pid, 77);
    EXPECT_EQ(file.start, 9000U);
    EXPECT_EQ(file.cgroup_paths.size(), 2U);
    EXPECT_EQ(file.cgroup_paths.at(""), "/sys/fs/cgroup/x");
    for (const char *damaged : {"", "{", "[]", R"({"id":"s-a"})", R"({"init_process_pid":"77"})",
                                R"({"init_process_pid":77,"init_process_start":-1})",
                                R"({"init_process_pid":77,"init_process_start":"9000"})"}) {
        EXPECT_FALSE(zor::parse_runc_state_file(damaged, file)) << damaged;
    }
}

}  // namespace
