// Every caller text reaches the shell as one word: the byte-exact commands of a few calls,
// the outcome lines that still show the texts as given, and the length rule on the escaped
// command.
#include <zorsys.h>

#include "log_recorder.hpp"
#include "shell_interceptor.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using Commands = std::vector<std::string>;

struct WordCase {
    const char *name;
    std::function<int()> call;
    Commands expected;
    const char *outcome;  // the first outcome line, with the texts as given
};

int start(const char *name) {
    zor_sys_handle handle{0, const_cast<char *>(name)};
    return zor_sys_start(&handle);
}

class ShellWord : public ::testing::TestWithParam<WordCase> {
protected:
    void SetUp() override {
        client_test::reset_shell();
        client_test::clear_logged_lines();
        client_test::fake_shell(0, "TYPE 1\n");
    }
    void TearDown() override { client_test::reset_shell(); }
};

TEST_P(ShellWord, RunsExactlyTheseCommands) {
    const WordCase &tested = GetParam();
    const int code = tested.call();
    EXPECT_EQ(code, 0);
    Commands commands;
    for (const client_test::ShellCall &call : client_test::shell_calls()) {
        commands.push_back(call.command);
    }
    EXPECT_EQ(commands, tested.expected);
    const std::vector<client_test::LogLine> lines = client_test::logged_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().message, tested.outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ShellWord,
    ::testing::Values(WordCase{"BlankAndTab",
                               [] { return start("a b\tc"); },
                               {"sudo zor-sys start -n a\\ b\\\tc > /dev/null 2>&1"},
                               "ZOR-SYS-LIB: start: Started system container 'a b\tc'."},
                      WordCase{"EmptyName",
                               [] { return start(""); },
                               {"sudo zor-sys start -n '' > /dev/null 2>&1"},
                               "ZOR-SYS-LIB: start: Started system container ''."},
                      WordCase{"SnapshotWithABlank",
                               [] {
                                   char name[] = "web1";
                                   zor_sys_handle handle{0, name};
                                   return zor_sys_save_snapshot(&handle, "s 1");
                               },
                               {"sudo zor-sys save -n web1 -t s\\ 1 > /dev/null 2>&1"},
                               "ZOR-SYS-LIB: save: Saved snapshot of 'web1' as 's 1'."},
                      WordCase{"Open",
                               [] {
                                   zor_sys_handle *handle = zor_sys_open("a;b c");
                                   const int code = handle != nullptr ? 0 : -1;
                                   (void)zor_sys_close(handle);
                                   return code;
                               },
                               {"sudo zor-sys search -n a\\;b\\ c > /dev/null 2>&1",
                                "sudo zor-sys info -n a\\;b\\ c"},
                               "ZOR-SYS-LIB: open: Opened handler of 'a;b c'."},
                      WordCase{"LimitCore",
                               [] {
                                   char name[] = "web";
                                   char core[] = "0 3";
                                   zor_sys_handle handle{0, name};
                                   zor_sys_resource resource{};
                                   resource.type = 2;
                                   resource.value.core = core;
                                   return zor_sys_set_resource(&handle, nullptr, nullptr, resource);
                               },
                               {"sudo zor-sys limit --core 0\\ 3 -n web > /dev/null 2>&1"},
                               "ZOR-SYS-LIB: limit: Set limitation of resource usage 'web'."}),
    [](const ::testing::TestParamInfo<WordCase> &tested) { return tested.param.name; });

TEST(ShellWordLength, TheEscapedCommandObeysTheLengthRuleToo) {
    client_test::fake_shell(0);
    const std::string plain(984, 'n');
    EXPECT_EQ(start(plain.c_str()), 0);
    std::string blank = plain;
    blank[500] = ' ';
    client_test::reset_shell();
    client_test::clear_logged_lines();
    client_test::fake_shell(0);
    EXPECT_EQ(start(blank.c_str()), ZOR_SYS_ETOOLONG);
    EXPECT_TRUE(client_test::shell_calls().empty());
    EXPECT_TRUE(client_test::logged_lines().empty());
    client_test::reset_shell();
}

}  // namespace
