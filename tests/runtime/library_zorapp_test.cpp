// libzorapp against the real runtime: every operation through the real shell, the
// results it returns and the lists it builds from the runtime's answers.
#include <zorapp.h>

#include "runtime_library_fixture.hpp"
#include "runtime_support.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;

using runtime_test::names_of;
using runtime_test::proc_figure;

class RuntimeApplicationLibrary : public runtime_test::RuntimeLibraryTest {
protected:
    static Names app_snapshots(zor_app_handle *handle) {
        char **list = nullptr;
        EXPECT_EQ(zor_app_get_snapshot_list(handle, &list), 0);
        const Names names = names_of(list);
        if (list != nullptr) {
            EXPECT_EQ(zor_app_release_snapshot_list(list), 0);
        }
        return names;
    }
};

TEST_F(RuntimeApplicationLibrary, ApplicationContainerWithTablesAndRegistration) {
    const zor_app_config tagged{1, 8080, nullptr};
    const zor_app_config bare{2, 0, nullptr};
    ASSERT_EQ(zor_app_create_container("tagged", &tagged), 0);
    ASSERT_EQ(zor_app_create_container("bare", &bare), 0);
    zor_app_handle *table = zor_app_open("tagged");
    zor_app_handle *plain = zor_app_open("bare");
    ASSERT_NE(table, nullptr);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(table->type, 1);
    EXPECT_EQ(plain->type, 2);
    for (zor_app_handle *handle : {table, plain}) {
        EXPECT_EQ(zor_app_save_snapshot(handle, "TAG1"), 0);
        EXPECT_EQ(zor_app_save_snapshot(handle, "t2"), 0);
        EXPECT_EQ(app_snapshots(handle), (Names{"TAG1", "t2"})) << handle->name;
        EXPECT_EQ(zor_app_load_snapshot(handle, "t2"), 0);
        EXPECT_EQ(zor_app_remove_snapshot(handle, "TAG1"), 0);
        EXPECT_EQ(app_snapshots(handle), (Names{"t2"}));
    }
    EXPECT_EQ(zor_app_commit_snapshot(table, "t2", "app-base"), 0);
    char **bases = nullptr;
    ASSERT_EQ(zor_app_get_base_list(&bases), 0);
    EXPECT_EQ(names_of(bases), (Names{"app-base"}));
    zor_app_release_base_list(bases);
    EXPECT_EQ(zor_app_remove_base("app-base"), 0);

    ASSERT_EQ(zor_app_start(table), 0);
    EXPECT_EQ(zor_app_get_status(table), 1);
    EXPECT_EQ(zor_app_suspend(table), 0);
    EXPECT_EQ(zor_app_get_status(table), 2);
    EXPECT_EQ(zor_app_resume(table), 0);
    int32_t main = 0;
    ASSERT_EQ(zor_app_get_pid(table, &main), 0);
    EXPECT_EQ(zor_app_register_pid(table, getpid()), 0);
    EXPECT_EQ(zor_app_register_vpid(table, 1), 0);
    zor_app_pid_pair **pairs = nullptr;
    ASSERT_EQ(zor_app_get_registered_pid_list(table, &pairs), 0);
    ASSERT_NE(pairs, nullptr);
    ASSERT_NE(pairs[0], nullptr);
    ASSERT_NE(pairs[1], nullptr);
    EXPECT_EQ(pairs[2], nullptr);
    EXPECT_EQ(pairs[0]->pid, getpid());
    EXPECT_EQ(pairs[0]->vpid, getpid());
    EXPECT_EQ(pairs[1]->pid, main);
    EXPECT_EQ(pairs[1]->vpid, 1);
    EXPECT_EQ(zor_app_release_registered_pid_list(pairs), 0);
    EXPECT_EQ(zor_app_unregister_pid(table, getpid()), 0);
    EXPECT_EQ(zor_app_unregister_vpid(table, 1), 0);

    EXPECT_EQ(zor_app_create_cgroup(table, "g1"), 0);
    EXPECT_EQ(zor_app_bind_pid(table, "g1", main), 0);
    EXPECT_EQ(zor_app_unbind_pid(table, "g1", main), 0);
    EXPECT_EQ(zor_app_bind_vpid(table, "g1", 1), 0);
    EXPECT_EQ(zor_app_unbind_vpid(table, "g1", 1), 0);
    EXPECT_EQ(zor_app_destroy_cgroup(table, "g1"), 0);

    zor_app_resource limit{};
    limit.type = 3;
    limit.value.mem = 4096;
    EXPECT_EQ(zor_app_set_resource(table, nullptr, limit), 0);
    EXPECT_EQ(zor_app_unset_resource(table, nullptr, limit), 0);
    zor_app_resource mem{};
    mem.type = 3;
    ASSERT_EQ(zor_app_get_resource(table, 0, nullptr, &mem), 0);
    EXPECT_GT(mem.value.mem, 0);
    zor_app_resource by_pid{};
    by_pid.type = 3;
    ASSERT_EQ(zor_app_get_resource(nullptr, main, nullptr, &by_pid), 0);
    EXPECT_EQ(by_pid.value.mem, proc_figure(main, "VmRSS"));

    EXPECT_EQ(zor_app_stop(table), 0);
    EXPECT_TRUE(runtime_test::process_ended(main));
    EXPECT_EQ(zor_app_close(table), 0);
    EXPECT_EQ(zor_app_close(plain), 0);
    EXPECT_EQ(zor_app_destroy_container("tagged"), 0);
    EXPECT_EQ(zor_app_destroy_container("bare"), 0);
    char **containers = nullptr;
    ASSERT_EQ(zor_app_get_container_list(&containers), 0);
    EXPECT_EQ(containers, nullptr);
}

}  // namespace
