// Resource limits and usage: the value each kind passes, the options in their order, the
// lines that name the container or the group, and what get reads back, shows on standard
// output and keeps for the calling thread.
#include "operation_fixture.hpp"

#include <syslog.h>

#include <thread>

namespace {

using client_test::exited_with;
using client_test::ShellCall;
using zorsys_test::kSuffix;

zor_sys_resource resource_of(std::int32_t type) {
    zor_sys_resource resource{};
    resource.type = type;
    return resource;
}

zor_sys_resource numbers(std::int32_t type, std::int32_t first, std::int32_t second) {
    zor_sys_resource resource = resource_of(type);
    resource.value.cpu = first;
    resource.value.memsw = second;
    return resource;
}

zor_sys_resource cores(char *text) {
    zor_sys_resource resource = resource_of(2);
    resource.value.core = text;
    return resource;
}

char kCores[] = "0-3";

struct LimitCase {
    const char *name;
    zor_sys_resource resource;
    std::string value;  // what follows the option word
};

class Limit : public zorsys_test::Operations, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(Limit, PassesTheValueOfItsKind) {
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(zor_sys_set_resource(handle("web;1"), nullptr, nullptr, GetParam().resource), 0);
    EXPECT_EQ(commands(), std::vector<std::string>{"sudo zor-sys limit " + GetParam().value +
                                                   " -n web\\;1" + kSuffix});
    EXPECT_EQ(client_test::shell_calls()[0].kind, ShellCall::Kind::kSystem);
    expect_one_line(LOG_INFO, "zor_sys_set_resource",
                    "ZOR-SYS-LIB: limit: Set limitation of resource usage 'web;1'.");
}

TEST_P(Limit, UnsetPassesOnlyTheKind) {
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(zor_sys_unset_resource(handle("web"), nullptr, nullptr, GetParam().resource), 0);
    const std::string word = GetParam().value.substr(0, GetParam().value.find(' '));
    EXPECT_EQ(commands(),
              std::vector<std::string>{"sudo zor-sys unlimit " + word + " -n web" + kSuffix});
    expect_one_line(LOG_INFO, "zor_sys_unset_resource",
                    "ZOR-SYS-LIB: unlimit: Unset limitation of resource usage 'web'.");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Limit,
    ::testing::Values(LimitCase{"Cpu", numbers(1, 50, 9), "--cpu 50"},
                      LimitCase{"Core", cores(kCores), "--core 0-3"},
                      LimitCase{"Mem", numbers(3, 512, 9), "--mem 512"},
                      LimitCase{"MemswIsTheSecondNumber", numbers(4, 0, 2048), "--memsw 2048"},
                      LimitCase{"Negative", numbers(3, -1, 0), "--mem -1"}),
    [](const ::testing::TestParamInfo<LimitCase> &tested) { return tested.param.name; });

using Resources = zorsys_test::Operations;

TEST_F(Resources, SetAndUnsetPassTheGroupWithTheirOwnOption) {
    client_test::fake_shell(exited_with(0));
    zor_sys_handle *web = handle("web");
    EXPECT_EQ(zor_sys_set_resource(web, "g;1", "app", numbers(1, 50, 0)), 0);
    EXPECT_EQ(zor_sys_unset_resource(web, "g;1", "app", numbers(1, 50, 0)), 0);
    EXPECT_EQ(zor_sys_set_resource(web, "g1", nullptr, numbers(3, 5, 0)), 0);
    EXPECT_EQ(zor_sys_unset_resource(web, nullptr, "app", numbers(3, 5, 0)), 0);
    EXPECT_EQ(commands(),
              (std::vector<std::string>{
                  "sudo zor-sys limit --cpu 50 -n web -a app -g g\\;1" + std::string(kSuffix),
                  "sudo zor-sys unlimit --cpu -n web -a app -c g\\;1" + std::string(kSuffix),
                  "sudo zor-sys limit --mem 5 -n web -g g1" + std::string(kSuffix),
                  "sudo zor-sys unlimit --mem -n web -a app" + std::string(kSuffix)}));
}

TEST_F(Resources, FailureLinesNameTheGroup) {
    client_test::fake_shell(exited_with(3));
    EXPECT_EQ(zor_sys_set_resource(handle("web"), "g1", nullptr, numbers(1, 5, 0)), -3);
    expect_one_line(LOG_ERR, "zor_sys_set_resource",
                    "ZOR-SYS-LIB: limit: Failed to set limitation of resource usage 'g1'. "
                    "(ErrNo=-3)");
    client_test::clear_logged_lines();
    EXPECT_EQ(zor_sys_unset_resource(handle("web"), nullptr, nullptr, numbers(1, 5, 0)), -3);
    expect_one_line(LOG_ERR, "zor_sys_unset_resource",
                    "ZOR-SYS-LIB: unlimit: Failed to unset limitation of resource usage ''. "
                    "(ErrNo=-3)");
}

struct RefusedCase {
    const char *name;
    bool with_handle;
    zor_sys_resource resource;
    int code;
};

class RefusedLimit : public zorsys_test::Operations,
                     public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedLimit, RunsNothingAndWritesTheFailureLine) {
    client_test::fake_shell(exited_with(0));
    zor_sys_handle *web = GetParam().with_handle ? handle("web") : nullptr;
    const std::string code = std::to_string(GetParam().code);
    EXPECT_EQ(zor_sys_set_resource(web, "g1", nullptr, GetParam().resource), GetParam().code);
    expect_one_line(LOG_ERR, "zor_sys_set_resource",
                    "ZOR-SYS-LIB: limit: Failed to set limitation of resource usage 'g1'. (ErrNo=" +
                        code + ")");
    client_test::clear_logged_lines();
    if (GetParam().resource.type != 2) {  // unset reads no core text
        EXPECT_EQ(zor_sys_unset_resource(web, nullptr, nullptr, GetParam().resource),
                  GetParam().code);
        expect_one_line(LOG_ERR, "zor_sys_unset_resource",
                        "ZOR-SYS-LIB: unlimit: Failed to unset limitation of resource usage ''. "
                        "(ErrNo=" +
                            code + ")");
    }
    EXPECT_TRUE(client_test::shell_calls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, RefusedLimit,
    ::testing::Values(RefusedCase{"NoHandle", false, numbers(1, 5, 0), ZOR_SYS_EMISSING},
                      RefusedCase{"NoCoreText", true, cores(nullptr), ZOR_SYS_EMISSING},
                      RefusedCase{"TypeZero", true, numbers(0, 5, 0), ZOR_SYS_EMISSING},
                      RefusedCase{"TypeFive", true, numbers(5, 5, 0), ZOR_SYS_EMISSING},
                      RefusedCase{"NegativeType", true, numbers(-1, 5, 0), ZOR_SYS_EMISSING}),
    [](const ::testing::TestParamInfo<RefusedCase> &tested) { return tested.param.name; });

TEST_F(Resources, SetAndUnsetKeepToTheLengthRuleAndLogTheRefusal) {
    const std::string set_prefix = "sudo zor-sys limit --cpu 50 -n ";
    const std::string unset_prefix = "sudo zor-sys unlimit --cpu -n ";
    const std::size_t set_longest = 1023 - set_prefix.size() - std::strlen(kSuffix);
    const std::size_t unset_longest = 1023 - unset_prefix.size() - std::strlen(kSuffix);
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(zor_sys_set_resource(handle(std::string(set_longest, 'n')), nullptr, nullptr,
                                   numbers(1, 50, 0)),
              0);
    EXPECT_EQ(zor_sys_unset_resource(handle(std::string(unset_longest, 'n')), nullptr, nullptr,
                                     numbers(1, 50, 0)),
              0);
    for (const std::string &command : commands()) {
        EXPECT_EQ(command.size(), 1023u);
    }
    client_test::reset_shell();
    client_test::clear_logged_lines();
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(zor_sys_set_resource(handle("web"), std::string(set_longest - 6, 'g').c_str(),
                                   nullptr, numbers(1, 50, 0)),
              ZOR_SYS_ETOOLONG);
    EXPECT_EQ(zor_sys_unset_resource(handle(std::string(unset_longest + 1, 'n')), nullptr, nullptr,
                                     numbers(1, 50, 0)),
              ZOR_SYS_ETOOLONG);
    EXPECT_TRUE(client_test::shell_calls().empty());
    const auto lines = client_test::logged_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].message.find("(ErrNo=-202)"), std::string::npos);
    EXPECT_NE(lines[1].message.find("(ErrNo=-202)"), std::string::npos);
}

// ---------------------------------------------------------------------------------------
// get

class Usage : public zorsys_test::Operations {
protected:
    // Runs get and returns its result; out receives what it wrote on standard output.
    int get(zor_sys_handle *web, std::int32_t pid, const char *app, zor_sys_resource *resource,
            std::string &out) {
        ::testing::internal::CaptureStdout();
        const int code = zor_sys_get_resource(web, pid, app, resource);
        out = ::testing::internal::GetCapturedStdout();
        return code;
    }
};

TEST_F(Usage, ReadsTheFirstNumberAndShowsCommandAndResult) {
    client_test::fake_shell(exited_with(0), "2048\n17\n");
    zor_sys_resource mem = numbers(3, 1, 2);
    std::string out;
    EXPECT_EQ(get(handle("web;1"), 0, nullptr, &mem, out), 0);
    EXPECT_EQ(mem.value.mem, 2048);
    EXPECT_EQ(mem.value.memsw, 2);
    EXPECT_EQ(out, "sudo zor-sys usage --mem -n web\\;1\n0\n");
    const auto calls = client_test::shell_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, ShellCall::Kind::kPopen);
    EXPECT_EQ(calls[0].command, "sudo zor-sys usage --mem -n web\\;1");
    EXPECT_TRUE(client_test::logged_lines().empty());
}

struct UsageCase {
    const char *name;
    std::int32_t type;
    std::string output;
    std::int32_t first;
    std::int32_t second;
};

class UsageNumbers : public Usage, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(UsageNumbers, FillTheirHalfOfThePair) {
    client_test::fake_shell(exited_with(0), GetParam().output);
    zor_sys_resource resource = numbers(GetParam().type, 11, 22);
    std::string out;
    EXPECT_EQ(get(handle("web"), 0, nullptr, &resource, out), 0);
    EXPECT_EQ(resource.value.cpu, GetParam().first);
    EXPECT_EQ(resource.value.memsw, GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, UsageNumbers,
    ::testing::Values(UsageCase{"Cpu", 1, "75\n", 75, 22}, UsageCase{"Mem", 3, "-3\n", -3, 22},
                      UsageCase{"Memsw", 4, "4096\n", 11, 4096},
                      UsageCase{"LeadingBlanksAndText", 1, "  12 percent\n", 12, 22},
                      UsageCase{"NoOutputGives0", 3, "", 0, 22},
                      UsageCase{"NoOutputGives0ForMemsw", 4, "", 11, 0},
                      UsageCase{"CutTo32Bits", 1, "4294967298\n", 2, 22}),
    [](const ::testing::TestParamInfo<UsageCase> &tested) { return tested.param.name; });

TEST_F(Usage, ProcessOptionDependsOnTheApplication) {
    client_test::fake_shell(exited_with(0), "1\n");
    zor_sys_handle *web = handle("web");
    zor_sys_resource cpu = resource_of(1);
    std::string out;
    EXPECT_EQ(get(web, 0, nullptr, &cpu, out), 0);
    EXPECT_EQ(get(web, -1, "app", &cpu, out), 0);
    EXPECT_EQ(get(web, 7, "app", &cpu, out), 0);
    EXPECT_EQ(get(web, 7, nullptr, &cpu, out), 0);
    EXPECT_EQ(commands(), (std::vector<std::string>{
                              "sudo zor-sys usage --cpu -n web",
                              "sudo zor-sys usage --cpu -n web -a app",
                              "sudo zor-sys usage --cpu -n web -a app -vpid 7",
                              "sudo zor-sys usage --cpu -n web -pid 7",
                          }));
}

TEST_F(Usage, CoreIsTheLineReadWithItsNewline) {
    client_test::fake_shell(exited_with(0), "0-3\n4\n");
    zor_sys_resource core = resource_of(2);
    std::string out;
    EXPECT_EQ(get(handle("web"), 0, nullptr, &core, out), 0);
    ASSERT_NE(core.value.core, nullptr);
    EXPECT_STREQ(core.value.core, "0-3\n");
    EXPECT_EQ(out, "sudo zor-sys usage --core -n web\n0\n");
}

TEST_F(Usage, CoreStaysValidUntilTheThreadsNextGet) {
    zor_sys_handle *web = handle("web");
    client_test::fake_shell(exited_with(0), "0-3\n");
    zor_sys_resource first = resource_of(2);
    std::string out;
    ASSERT_EQ(get(web, 0, nullptr, &first, out), 0);
    const char *kept = first.value.core;
    // Other calls of the library leave it alone.
    client_test::fake_shell(exited_with(0), "77\n");
    zor_sys_resource cpu = resource_of(1);
    ASSERT_EQ(get(web, 0, nullptr, &cpu, out), 0);
    char **names = nullptr;
    ASSERT_EQ(zor_sys_get_container_list(&names), 0);
    EXPECT_EQ(zor_sys_release_container_list(names), 0);
    EXPECT_STREQ(kept, "0-3\n");

    // Another thread has its own text.
    std::string other_thread;
    client_test::fake_shell(exited_with(0), "4-7\n");
    std::thread([&] {
        zor_sys_resource other = resource_of(2);
        if (zor_sys_get_resource(web, 0, nullptr, &other) == 0 && other.value.core != nullptr) {
            other_thread = other.value.core;
        }
    }).join();
    EXPECT_EQ(other_thread, "4-7\n");
    EXPECT_STREQ(kept, "0-3\n");

    // The thread's next get replaces it.
    client_test::fake_shell(exited_with(0), "8\n");
    zor_sys_resource second = resource_of(2);
    ASSERT_EQ(get(web, 0, nullptr, &second, out), 0);
    EXPECT_STREQ(second.value.core, "8\n");
}

TEST_F(Usage, AFailingToolLeavesTheRecord) {
    client_test::fake_shell(exited_with(3), "2048\n");
    zor_sys_resource mem = numbers(3, 1, 2);
    std::string out;
    EXPECT_EQ(get(handle("web;1"), 0, nullptr, &mem, out), -3);
    EXPECT_EQ(mem.value.mem, 1);
    EXPECT_EQ(mem.value.memsw, 2);
    EXPECT_EQ(out, "sudo zor-sys usage --mem -n web\\;1\n-3\n");
    expect_one_line(LOG_ERR, "zor_sys_get_resource",
                    "ZOR-SYS-LIB: usage: Failed to get resource usage of 'web;1'. (ErrNo=-3)");
}

TEST_F(Usage, APipeThatCannotStartShowsOnlyTheCommand) {
    client_test::fail_popen();
    zor_sys_resource mem = numbers(3, 1, 2);
    std::string out;
    EXPECT_EQ(get(handle("web"), 0, nullptr, &mem, out), ZOR_SYS_EMISSING);
    EXPECT_EQ(mem.value.mem, 1);
    EXPECT_EQ(out, "sudo zor-sys usage --mem -n web\n");
    expect_one_line(LOG_ERR, "zor_sys_get_resource",
                    "ZOR-SYS-LIB: usage: Failed to get resource usage of 'web'. (ErrNo=-201)");
}

TEST_F(Usage, MissingArgumentsRunAndShowNothing) {
    client_test::fake_shell(exited_with(0), "1\n");
    zor_sys_resource mem = numbers(3, 1, 2);
    zor_sys_resource unknown = numbers(9, 1, 2);
    std::string out;
    EXPECT_EQ(get(nullptr, 0, nullptr, &mem, out), ZOR_SYS_EMISSING);
    EXPECT_EQ(out, "");
    EXPECT_EQ(get(handle("web"), 0, nullptr, nullptr, out), ZOR_SYS_EMISSING);
    EXPECT_EQ(out, "");
    EXPECT_EQ(get(handle("web"), 0, nullptr, &unknown, out), ZOR_SYS_EMISSING);
    EXPECT_EQ(out, "");
    EXPECT_EQ(mem.value.mem, 1);
    EXPECT_TRUE(client_test::shell_calls().empty());
    const auto lines = client_test::logged_lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].message,
              "ZOR-SYS-LIB: usage: Failed to get resource usage of ''. (ErrNo=-201)");
    EXPECT_EQ(lines[1].message,
              "ZOR-SYS-LIB: usage: Failed to get resource usage of 'web'. (ErrNo=-201)");
}

TEST_F(Usage, KeepsToTheLengthRuleAndLogsTheRefusal) {
    const std::size_t longest = 1023 - std::strlen("sudo zor-sys usage --cpu -n ");
    client_test::fake_shell(exited_with(0), "1\n");
    zor_sys_resource cpu = resource_of(1);
    std::string out;
    EXPECT_EQ(get(handle(std::string(longest, 'n')), 0, nullptr, &cpu, out), 0);
    EXPECT_EQ(commands().at(0).size(), 1023u);
    client_test::reset_shell();
    client_test::fake_shell(exited_with(0), "1\n");
    EXPECT_EQ(get(handle(std::string(longest - 6, 'n')), 7, nullptr, &cpu, out), ZOR_SYS_ETOOLONG);
    EXPECT_EQ(get(handle(std::string(longest - 1, 'n') + "*"), 0, nullptr, &cpu, out),
              ZOR_SYS_ETOOLONG);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(client_test::shell_calls().empty());
    const auto lines = client_test::logged_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].message.find("(ErrNo=-202)"), std::string::npos);
}

}  // namespace
