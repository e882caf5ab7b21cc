// One program that links libzorsys.a, libzorapp.a and libkestal, as an application does:
// it builds, each library runs its own tool and writes its own tagged lines through the real
// kestal_log, and the archive of libzorapp defines nothing but its exported functions.
#include "private_log_socket.hpp"
#include "standin_harness.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

extern "C" int application_run(void);
extern "C" int application_header_sizes(void);

namespace {

using kestal::test::PrivateLogSocket;
using kestal::test::SyslogRecord;
using Words = std::vector<std::string>;

std::set<std::string> defined_global_symbols(const std::string &archive) {
    const std::string command = std::string(NM_PROGRAM) + " -g --defined-only " + archive;
    std::set<std::string> symbols;
    std::FILE *listing = popen(command.c_str(), "r");
    if (listing == nullptr) {
        return symbols;
    }
    char line[4096];
    while (std::fgets(line, sizeof line, listing) != nullptr) {
        char address[64];
        char kind[8];
        char name[2048];
        if (std::sscanf(line, "%63s %7s %2047s", address, kind, name) == 3) {
            symbols.insert(name);
        }
    }
    EXPECT_EQ(pclose(listing), 0) << command;
    return symbols;
}

TEST(BothLibraries, AnApplicationRunsBothAgainstTheirTools) {
    KESTAL_REQUIRE_LOG_SOCKET();
    PrivateLogSocket::instance().clear();
    standin::Session tools;
    tools.script("zor-sys", "info", standin::prints("TYPE 100\n"));
    tools.script("zor-app", "info", standin::prints("CONTAINER_TYPE 1\n"));

    EXPECT_EQ(application_run(), 0);

    std::vector<std::pair<std::string, Words>> invocations;
    for (const standin::Invocation &invocation : tools.invocations()) {
        EXPECT_TRUE(invocation.via_sudo);
        invocations.emplace_back(invocation.program, invocation.args);
    }
    const std::vector<std::pair<std::string, Words>> expected = {
        {"zor-sys", {"search", "-n", "web"}},
        {"zor-sys", {"info", "-n", "web"}},
        {"zor-app", {"search", "-n", "web"}},
        {"zor-app", {"info", "-n", "web"}},
        {"zor-sys", {"start", "-n", "web"}},
        {"zor-app", {"start", "-n", "web"}},
        {"zor-app", {"register", "-n", "web", "-pid", "1234"}},
    };
    EXPECT_EQ(invocations, expected);

    std::vector<std::string> messages;
    for (const SyslogRecord &record : PrivateLogSocket::instance().take()) {
        messages.push_back(record.message);
    }
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "ZOR-SYS-LIB: open: Opened handler of 'web'.\n",
                            "ZOR-APP-LIB: open: Opened handler of 'web'.\n",
                            "ZOR-SYS-LIB: start: Started system container 'web'.\n",
                            "ZOR-APP-LIB: start: Started application container 'web'.\n",
                            "ZOR-APP-LIB: register: Registered '1234'.\n",
                            "ZOR-APP-LIB: close: Closed handler of 'web'.\n",
                            "ZOR-SYS-LIB: close: Closed handler of 'web'.\n",
                        }));
}

TEST(BothLibraries, TheHeaderIsPlainC) {
    EXPECT_EQ(application_header_sizes(), 4 + 4 + 8 + 8);
}

TEST(BothLibraries, LibzorappDefinesOnlyItsExportedFunctions) {
    const std::set<std::string> expected = {
        "zor_app_create_container",
        "zor_app_destroy_container",
        "zor_app_open",
        "zor_app_close",
        "zor_app_start",
        "zor_app_stop",
        "zor_app_get_status",
        "zor_app_get_pid",
        "zor_app_get_container_list",
        "zor_app_get_base_list",
        "zor_app_get_snapshot_list",
        "zor_app_get_registered_pid_list",
        "zor_app_get_checkpoint_list",
        "zor_app_remove_base",
        "zor_app_release_container_list",
        "zor_app_release_snapshot_list",
        "zor_app_release_base_list",
        "zor_app_release_registered_pid_list",
        "zor_app_release_checkpoint_list",
        "zor_app_set_resource",
        "zor_app_unset_resource",
        "zor_app_get_resource",
        "zor_app_suspend",
        "zor_app_resume",
        "zor_app_save_snapshot",
        "zor_app_load_snapshot",
        "zor_app_remove_snapshot",
        "zor_app_commit_snapshot",
        "zor_app_checkpoint",
        "zor_app_restart",
        "zor_app_remove_checkpoint",
        "zor_app_create_cgroup",
        "zor_app_destroy_cgroup",
        "zor_app_bind_pid",
        "zor_app_unbind_pid",
        "zor_app_bind_vpid",
        "zor_app_unbind_vpid",
        "zor_app_register_pid",
        "zor_app_unregister_pid",
        "zor_app_register_vpid",
        "zor_app_unregister_vpid",
    };
    EXPECT_EQ(defined_global_symbols(ZORAPP_ARCHIVE), expected);
}

}  // namespace
