// libzorsys against the real runtime: every operation through the real shell, the
// results it returns and the lists it builds from the runtime's answers.
#include <zorsys.h>

#include "loopback_support.hpp"
#include "runtime_library_fixture.hpp"
#include "runtime_support.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;

using runtime_test::names_of;
using runtime_test::proc_figure;

class RuntimeSystemLibrary : public runtime_test::RuntimeLibraryTest {
protected:
    static Names sys_list(int (*listing)(char ***)) {
        char **list = nullptr;
        EXPECT_EQ(listing(&list), 0);
        const Names names = names_of(list);
        if (list != nullptr) {
            EXPECT_EQ(zor_sys_release_container_list(list), 0);
        }
        return names;
    }

    static Names sys_list(zor_sys_handle *handle, int (*listing)(zor_sys_handle *, char ***)) {
        char **list = nullptr;
        EXPECT_EQ(listing(handle, &list), 0);
        const Names names = names_of(list);
        if (list != nullptr) {
            EXPECT_EQ(zor_sys_release_snapshot_list(list), 0);
        }
        return names;
    }
};

TEST_F(RuntimeSystemLibrary, SystemContainerLifeCycle) {
    const std::string conf = configuration("web", "hostname=web\n");
    char *file = const_cast<char *>(conf.c_str());
    const zor_sys_config config{100, 512, nullptr, file};
    ASSERT_EQ(zor_sys_create_container("web", &config), 0);
    zor_sys_handle *handle = zor_sys_open("web");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->type, 100);
    EXPECT_EQ(zor_sys_get_status(handle), 0);
    ASSERT_EQ(zor_sys_start(handle), 0);
    EXPECT_EQ(zor_sys_get_status(handle), 1);
    int32_t pid = 0;
    ASSERT_EQ(zor_sys_get_pid(handle, &pid), 0);
    EXPECT_EQ(runtime_test::process_session(pid), pid);
    EXPECT_EQ(zor_sys_suspend(handle), 0);
    EXPECT_EQ(zor_sys_get_status(handle), 2);
    EXPECT_EQ(zor_sys_resume(handle), 0);
    EXPECT_EQ(zor_sys_get_status(handle), 1);
    EXPECT_EQ(zor_sys_share(handle), 0);
    EXPECT_EQ(zor_sys_unshare(handle), 0);
    EXPECT_EQ(zor_sys_stop(handle), 0);
    EXPECT_TRUE(runtime_test::process_ended(pid));
    EXPECT_EQ(zor_sys_get_status(handle), 0);
    EXPECT_EQ(zor_sys_close(handle), 0);
    EXPECT_EQ(zor_sys_destroy_container("web"), 0);
    EXPECT_EQ(zor_sys_open("web"), nullptr);
    failures_expected_ = true;  // the last open logs its failure
}

TEST_F(RuntimeSystemLibrary, FailuresBecomeTheNegatedExitStatus) {
    failures_expected_ = true;
    const zor_sys_config plain{1, 0, nullptr, nullptr};
    ASSERT_EQ(zor_sys_create_container("web", &plain), 0);
    EXPECT_EQ(zor_sys_create_container("web", &plain), -103);
    zor_sys_handle *handle = zor_sys_open("web");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->type, 1);
    EXPECT_EQ(zor_sys_stop(handle), -104);
    int32_t pid = 77;
    EXPECT_EQ(zor_sys_get_pid(handle, &pid), -104);
    EXPECT_EQ(pid, 77);
    EXPECT_EQ(zor_sys_load_snapshot(handle, "none"), -102);
    EXPECT_EQ(zor_sys_save_snapshot(handle, ""), -101);
    ASSERT_EQ(zor_sys_destroy_container("web"), 0);
    // The handle outlives its container; the status query then fails.
    EXPECT_EQ(zor_sys_get_status(handle), -102);
    EXPECT_EQ(zor_sys_start(handle), -102);
    EXPECT_EQ(zor_sys_close(handle), 0);
}

TEST_F(RuntimeSystemLibrary, SystemListingsParseAsTheLibraryReadsThem) {
    const zor_sys_config table{100, 64, nullptr, nullptr};
    const zor_sys_config plain{1, 0, nullptr, nullptr};
    ASSERT_EQ(zor_sys_create_container("table", &table), 0);
    ASSERT_EQ(zor_sys_create_container("plain", &plain), 0);
    EXPECT_EQ(sys_list(zor_sys_get_container_list), (Names{"plain", "table"}));
    for (const char *name : {"table", "plain"}) {
        zor_sys_handle *handle = zor_sys_open(name);
        ASSERT_NE(handle, nullptr);
        ASSERT_EQ(zor_sys_start(handle), 0);
        EXPECT_EQ(zor_sys_save_snapshot(handle, "s1"), 0);
        EXPECT_EQ(zor_sys_save_snapshot(handle, "ID2"), 0);
        EXPECT_EQ(sys_list(handle, zor_sys_get_snapshot_list), (Names{"s1", "ID2"})) << name;
        EXPECT_EQ(zor_sys_commit_snapshot(handle, "s1", (std::string("from-") + name).c_str()), 0);
        EXPECT_EQ(zor_sys_remove_snapshot(handle, "ID2"), 0);
        EXPECT_EQ(sys_list(handle, zor_sys_get_snapshot_list), (Names{"s1"})) << name;
        EXPECT_EQ(zor_sys_stop(handle), 0);
        EXPECT_EQ(zor_sys_close(handle), 0);
    }
    EXPECT_EQ(sys_list(zor_sys_get_base_list), (Names{"from-table", "from-plain"}));
    EXPECT_EQ(zor_sys_remove_base("from-table"), 0);
    EXPECT_EQ(sys_list(zor_sys_get_base_list), (Names{"from-plain"}));
}

// Checkpoints go through the tools to CRIU: taken, listed, restarted from and removed, the
// container running throughout.
TEST_F(RuntimeSystemLibrary, CheckpointsThroughTheTools) {
    require_criu();
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    const zor_sys_config plain{1, 0, nullptr, nullptr};
    ASSERT_EQ(zor_sys_create_container("web", &plain), 0);
    zor_sys_handle *handle = zor_sys_open("web");
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(zor_sys_start(handle), 0);
    EXPECT_EQ(zor_sys_checkpoint(handle, "c1"), 0);
    char **list = nullptr;
    ASSERT_EQ(zor_sys_get_checkpoint_list(handle, &list), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list[0], "c1");
    EXPECT_EQ(list[1], nullptr);
    zor_sys_release_checkpoint_list(list);
    EXPECT_EQ(zor_sys_restart(handle, "c1"), 0);
    EXPECT_EQ(zor_sys_get_status(handle), 1);
    EXPECT_EQ(zor_sys_remove_checkpoint(handle, "c1"), 0);
    failures_expected_ = true;
    EXPECT_EQ(zor_sys_restart(handle, "c1"), -102);
    EXPECT_EQ(zor_sys_stop(handle), 0);
    EXPECT_EQ(zor_sys_close(handle), 0);
}

// Migration through the tools to a zor-target of another state directory (another machine
// to the runtime). A destination where nothing listens fails and leaves the container
// running; a receiver refuses at once a name it has already (103) and a port that is taken (109).
TEST_F(RuntimeSystemLibrary, MigrationThroughTheTools) {
    require_criu();
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    const zor_sys_config plain{1, 0, nullptr, nullptr};
    ASSERT_EQ(zor_sys_create_container("web", &plain), 0);
    zor_sys_handle *handle = zor_sys_open("web");
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(zor_sys_start(handle), 0);
    failures_expected_ = true;
    EXPECT_EQ(zor_sys_migration_start(handle, "127.0.0.1", transfer_test::free_port()), -106);
    EXPECT_EQ(zor_sys_get_status(handle), 1);
    const transfer_test::MuteListener taken;
    EXPECT_EQ(zor_sys_immigration_start("web", transfer_test::free_port()), -103);
    EXPECT_EQ(zor_sys_immigration_start("elsewhere", taken.port()), -109);
    const std::string receiver = state_ + "-receiver";
    ASSERT_TRUE(real_runtime::introduce(state_, receiver));
    const int port = transfer_test::free_port();
    ASSERT_EQ(
        real_runtime::shell("(ZOR_TARGET_WAIT=60 ZOR_RUNTIME_STATE=" + receiver +
                            " zor-target -n web -p " + std::to_string(port) + " >/dev/null 2>&1 &)")
            .exit_status,
        0);
    for (int tries = 0; tries < 10000 && !transfer_test::listening(port); ++tries) {
        usleep(1000);
    }
    EXPECT_EQ(zor_sys_migration_start(handle, "127.0.0.1", port), 0);
    EXPECT_EQ(
        real_runtime::shell("ZOR_RUNTIME_STATE=" + receiver + " zor-sys status -n web").exit_status,
        1);
    EXPECT_EQ(sys("search -n web").exit_status, 102);
    // The handle outlives its container's move.
    EXPECT_EQ(zor_sys_close(handle), 0);
    real_runtime::clear(receiver);
    EXPECT_EQ(real_runtime::leftovers(receiver), std::vector<std::string>{});
}

TEST_F(RuntimeSystemLibrary, SystemResourcesAndGroups) {
    const zor_sys_config plain{1, 0, nullptr, nullptr};
    ASSERT_EQ(zor_sys_create_container("web", &plain), 0);
    ASSERT_EQ(app("create -n shop").exit_status, 0);
    zor_sys_handle *handle = zor_sys_open("web");
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(zor_sys_start(handle), 0);
    int32_t pid = 0;
    ASSERT_EQ(zor_sys_get_pid(handle, &pid), 0);
    EXPECT_EQ(zor_sys_create_cgroup(handle, "g1"), 0);
    zor_sys_resource cpu{};
    cpu.type = 1;
    cpu.value.cpu = 50;
    EXPECT_EQ(zor_sys_set_resource(handle, "g1", nullptr, cpu), 0);
    EXPECT_EQ(zor_sys_unset_resource(handle, "g1", nullptr, cpu), 0);
    zor_sys_resource memsw{};
    memsw.type = 4;
    memsw.value.memsw = 2048;
    EXPECT_EQ(zor_sys_set_resource(handle, nullptr, nullptr, memsw), 0);
    zor_sys_resource core{};
    core.type = 2;
    char cores[] = "0";
    core.value.core = cores;
    EXPECT_EQ(zor_sys_set_resource(handle, nullptr, "shop", core), 0);

    zor_sys_resource mem{};
    mem.type = 3;
    ASSERT_EQ(zor_sys_get_resource(handle, pid, nullptr, &mem), 0);
    EXPECT_EQ(mem.value.mem, proc_figure(pid, "VmRSS"));
    zor_sys_resource swap{};
    swap.type = 4;
    ASSERT_EQ(zor_sys_get_resource(handle, pid, nullptr, &swap), 0);
    EXPECT_EQ(swap.value.memsw, proc_figure(pid, "VmRSS") + proc_figure(pid, "VmSwap"));
    zor_sys_resource used_cores{};
    used_cores.type = 2;
    ASSERT_EQ(zor_sys_get_resource(handle, 0, nullptr, &used_cores), 0);
    ASSERT_NE(used_cores.value.core, nullptr);
    EXPECT_NE(std::string(used_cores.value.core).find_first_of("0123456789"), std::string::npos);

    const pid_t sleeper = fork();
    ASSERT_GE(sleeper, 0);
    if (sleeper == 0) {
        pause();
        _exit(0);
    }
    EXPECT_EQ(zor_sys_bind_pid(handle, "g1", sleeper), 0);
    EXPECT_EQ(zor_sys_unbind_pid(handle, "g1", sleeper), 0);
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
    EXPECT_EQ(zor_sys_destroy_cgroup(handle, "g1"), 0);
    EXPECT_EQ(zor_sys_stop(handle), 0);
    EXPECT_EQ(zor_sys_close(handle), 0);
}

}  // namespace
