// The length rule at the boundary of every prefix of libzorapp: a command of exactly 1023
// characters runs, one character more runs nothing, and so does a command that fits only
// until the escaping adds its backslash. The variable text of each case is the piece named
// in the case; the rest of the command (and the suffix, for system()) is fixed.
#include <zorapp.h>

#include "app_fixture.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using zorapp_test::AppTest;
using zorapp_test::free_handle;
using zorapp_test::make_handle;

struct LengthCase {
    const char *name;
    std::string fixed;         // the command without the variable text
    bool suffix;               // run with system(), so the suffix counts
    const char *logs_refusal;  // the function whose failure line shows -202, or nullptr
    std::function<int(const std::string &)> run;
};

// Runs operation on a handle named name and releases the handle again.
int on_handle(const std::string &name, const std::function<int(zor_app_handle *)> &operation) {
    zor_app_handle *handle = make_handle(name, 1);
    const int code = operation(handle);
    free_handle(handle);
    return code;
}

// Runs operation on a handle named web.
int on_web(const std::function<int(zor_app_handle *)> &operation) {
    return on_handle("web", operation);
}

zor_app_resource numeric(int32_t type, int32_t value) {
    zor_app_resource resource{};
    resource.type = type;
    resource.value.cpu = value;
    return resource;
}

std::vector<LengthCase> length_cases() {
    static const zor_app_config plain{5, 0, nullptr};
    static const zor_app_config port{1, 8080, nullptr};
    return {
        {"Create", "sudo zor-app create -n ", true, nullptr,
         [](const std::string &n) { return zor_app_create_container(n.c_str(), &plain); }},
        {"CreateWithPort", "sudo zor-app create -n  -p 8080", true, nullptr,
         [](const std::string &n) { return zor_app_create_container(n.c_str(), &port); }},
        {"CreateBase", "sudo zor-app create -n web -b ", true, nullptr,
         [](const std::string &n) {
             const zor_app_config base{1, 0, const_cast<char *>(n.c_str())};
             return zor_app_create_container("web", &base);
         }},
        {"Destroy", "sudo zor-app destroy -n ", true, nullptr,
         [](const std::string &n) { return zor_app_destroy_container(n.c_str()); }},
        {"OpenSearch", "sudo zor-app search -n ", true, "zor_app_open",
         [](const std::string &n) {
             zor_app_handle *opened = zor_app_open(n.c_str());
             const int code = opened != nullptr ? 0 : ZOR_APP_ETOOLONG;
             free_handle(opened);
             return code;
         }},
        {"Start", "sudo zor-app start -n ", true, nullptr,
         [](const std::string &n) { return on_handle(n, zor_app_start); }},
        {"Stop", "sudo zor-app stop -n ", true, nullptr,
         [](const std::string &n) { return on_handle(n, zor_app_stop); }},
        {"Status", "sudo zor-app status -n ", true, nullptr,
         [](const std::string &n) { return on_handle(n, zor_app_get_status); }},
        {"GetPid", "sudo zor-app getpid -n ", false, "zor_app_get_pid",
         [](const std::string &n) {
             int32_t pid = 0;
             return on_handle(n, [&pid](zor_app_handle *h) { return zor_app_get_pid(h, &pid); });
         }},
        {"Suspend", "sudo zor-app suspend -n ", true, nullptr,
         [](const std::string &n) { return on_handle(n, zor_app_suspend); }},
        {"Resume", "sudo zor-app resume -n ", true, nullptr,
         [](const std::string &n) { return on_handle(n, zor_app_resume); }},
        {"SaveContainer", "sudo zor-app save -n  -t s", true, nullptr,
         [](const std::string &n) {
             return on_handle(n, [](zor_app_handle *h) { return zor_app_save_snapshot(h, "s"); });
         }},
        {"SaveSnapshot", "sudo zor-app save -n web -t ", true, nullptr,
         [](const std::string &n) {
             return on_web([&n](zor_app_handle *h) { return zor_app_save_snapshot(h, n.c_str()); });
         }},
        {"Load", "sudo zor-app load -n web -t ", true, nullptr,
         [](const std::string &n) {
             return on_web([&n](zor_app_handle *h) { return zor_app_load_snapshot(h, n.c_str()); });
         }},
        {"RemoveSnapshot", "sudo zor-app remove --snapshot -n web -t ", true, nullptr,
         [](const std::string &n) {
             return on_web(
                 [&n](zor_app_handle *h) { return zor_app_remove_snapshot(h, n.c_str()); });
         }},
        {"CommitBase", "sudo zor-app commit -n web -t s1 -b ", true, nullptr,
         [](const std::string &n) {
             return on_web(
                 [&n](zor_app_handle *h) { return zor_app_commit_snapshot(h, "s1", n.c_str()); });
         }},
        {"RemoveBase", "sudo zor-app remove --base ", true, nullptr,
         [](const std::string &n) { return zor_app_remove_base(n.c_str()); }},
        {"CreateCgroup", "sudo zor-app create -c  -n web", true, nullptr,
         [](const std::string &n) {
             return on_web([&n](zor_app_handle *h) { return zor_app_create_cgroup(h, n.c_str()); });
         }},
        {"CreateCgroupContainer", "sudo zor-app create -c g1 -n ", true, nullptr,
         [](const std::string &n) {
             return on_handle(n, [](zor_app_handle *h) { return zor_app_create_cgroup(h, "g1"); });
         }},
        {"DestroyCgroup", "sudo zor-app destroy -g ", true, nullptr,
         [](const std::string &n) { return zor_app_destroy_cgroup(nullptr, n.c_str()); }},
        {"BindPid", "sudo zor-app bind -g  -pid 1234 -n web", true, nullptr,
         [](const std::string &n) {
             return on_web(
                 [&n](zor_app_handle *h) { return zor_app_bind_pid(h, n.c_str(), 1234); });
         }},
        {"UnbindPid", "sudo zor-app unbind -c  -pid 1234", true, nullptr,
         [](const std::string &n) { return zor_app_unbind_pid(nullptr, n.c_str(), 1234); }},
        {"BindVpid", "sudo zor-app bind -g g1 -vpid 7 -n ", true, nullptr,
         [](const std::string &n) {
             return on_handle(n, [](zor_app_handle *h) { return zor_app_bind_vpid(h, "g1", 7); });
         }},
        {"UnbindVpid", "sudo zor-app unbind -g  -vpid -7", true, nullptr,
         [](const std::string &n) { return zor_app_unbind_vpid(nullptr, n.c_str(), -7); }},
        {"RegisterPid", "sudo zor-app register -n  -pid 1234", true, nullptr,
         [](const std::string &n) {
             return on_handle(n, [](zor_app_handle *h) { return zor_app_register_pid(h, 1234); });
         }},
        {"UnregisterPid", "sudo zor-app unregister -n  -pid 1", true, nullptr,
         [](const std::string &n) {
             return on_handle(n, [](zor_app_handle *h) { return zor_app_unregister_pid(h, 1); });
         }},
        {"RegisterVpid", "sudo zor-app register -n  -vpid 77", true, nullptr,
         [](const std::string &n) {
             return on_handle(n, [](zor_app_handle *h) { return zor_app_register_vpid(h, 77); });
         }},
        {"UnregisterVpid", "sudo zor-app unregister -n  -vpid 0", true, nullptr,
         [](const std::string &n) {
             return on_handle(n, [](zor_app_handle *h) { return zor_app_unregister_vpid(h, 0); });
         }},
        {"SetResource", "sudo zor-app limit --cpu 50 -n  -c g1", true, "zor_app_set_resource",
         [](const std::string &n) {
             return on_handle(n, [](zor_app_handle *h) {
                 return zor_app_set_resource(h, "g1", numeric(1, 50));
             });
         }},
        {"SetResourceCore", "sudo zor-app limit --core  -n web", true, "zor_app_set_resource",
         [](const std::string &n) {
             zor_app_resource core{};
             core.type = 2;
             core.value.core = const_cast<char *>(n.c_str());
             return on_web(
                 [&core](zor_app_handle *h) { return zor_app_set_resource(h, nullptr, core); });
         }},
        {"SetResourceGroup", "sudo zor-app limit --memsw 2048 -n web -c ", true,
         "zor_app_set_resource",
         [](const std::string &n) {
             return on_web([&n](zor_app_handle *h) {
                 return zor_app_set_resource(h, n.c_str(), numeric(4, 2048));
             });
         }},
        {"UnsetResource", "sudo zor-app unlimit --memsw -n ", true, "zor_app_unset_resource",
         [](const std::string &n) {
             return on_handle(n, [](zor_app_handle *h) {
                 return zor_app_unset_resource(h, nullptr, numeric(4, 1));
             });
         }},
        {"GetResource", "sudo zor-app usage --mem -n  -g g1 -vpid 300", false,
         "zor_app_get_resource",
         [](const std::string &n) {
             zor_app_resource resource = numeric(3, 0);
             return on_handle(n, [&resource](zor_app_handle *h) {
                 return zor_app_get_resource(h, 300, "g1", &resource);
             });
         }},
        {"GetResourceWithoutHandle", "sudo zor-app usage --cpu -g  -pid 300", false,
         "zor_app_get_resource",
         [](const std::string &n) {
             zor_app_resource resource = numeric(1, 0);
             return zor_app_get_resource(nullptr, 300, n.c_str(), &resource);
         }},
    };
}

class LengthRule : public AppTest, public ::testing::WithParamInterface<LengthCase> {
protected:
    std::size_t longest() const {
        return 1023 - GetParam().fixed.size() -
               (GetParam().suffix ? std::string(zorapp_test::kSuffix).size() : 0);
    }

    void expect_refused() const {
        EXPECT_TRUE(client_test::shell_calls().empty());
        if (GetParam().logs_refusal == nullptr) {
            zorapp_test::expect_no_line();
        } else {
            const auto lines = client_test::logged_lines();
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].function, GetParam().logs_refusal);
            EXPECT_NE(lines[0].message.find("(ErrNo=-202)"), std::string::npos);
        }
    }
};

TEST_P(LengthRule, RunsACommandOfExactly1023Characters) {
    client_test::fake_shell(0, "CONTAINER_TYPE 1\n");
    EXPECT_EQ(GetParam().run(std::string(longest(), 'n')), 0);
    const auto calls = client_test::shell_calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].command.size(), 1023u);
}

TEST_P(LengthRule, RefusesOneCharacterMore) {
    client_test::fake_shell(0, "CONTAINER_TYPE 1\n");
    EXPECT_EQ(GetParam().run(std::string(longest() + 1, 'n')), ZOR_APP_ETOOLONG);
    expect_refused();
}

TEST_P(LengthRule, CountsTheBackslashesOfTheEscaping) {
    client_test::fake_shell(0, "CONTAINER_TYPE 1\n");
    EXPECT_EQ(GetParam().run(std::string(longest() - 1, 'n') + ";"), ZOR_APP_ETOOLONG);
    expect_refused();
}

INSTANTIATE_TEST_SUITE_P(Prefixes, LengthRule, ::testing::ValuesIn(length_cases()),
                         [](const ::testing::TestParamInfo<LengthCase> &tested) {
                             return tested.param.name;
                         });

TEST_F(AppTest, SuspendTakesANameOf982Characters) {
    // 24 characters of prefix, 17 of suffix.
    client_test::fake_shell(0);
    EXPECT_EQ(on_handle(std::string(982, 'w'), zor_app_suspend), 0);
    EXPECT_EQ(on_handle(std::string(983, 'w'), zor_app_suspend), ZOR_APP_ETOOLONG);
    EXPECT_EQ(client_test::shell_calls().size(), 1u);
}

TEST_F(AppTest, SaveShares981CharactersBetweenContainerAndSnapshot) {
    client_test::fake_shell(0);
    const std::string snapshot(481, 's');
    const auto save = [&snapshot](zor_app_handle *h) {
        return zor_app_save_snapshot(h, snapshot.c_str());
    };
    EXPECT_EQ(on_handle(std::string(500, 'w'), save), 0);
    EXPECT_EQ(on_handle(std::string(501, 'w'), save), ZOR_APP_ETOOLONG);
    EXPECT_EQ(client_test::shell_calls().size(), 1u);
}

}  // namespace
