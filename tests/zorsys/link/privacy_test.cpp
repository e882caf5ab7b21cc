// An application may define any name of its own and link both client libraries: nothing of
// the command frame is visible outside its archive. This program defines the frame's own
// names itself, links libzorsys.a and a second library built from the same frame, and
// checks that each archive defines nothing but its exported functions.
#include <zorsys.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

extern "C" int zor_twin_escape(char *destination, const char *source) noexcept;
extern "C" int zorsys_header_type_size(void);
extern "C" int zorsys_header_resource_layout(int part);

// The application's own functions, under the names that the libraries use inside.
extern "C" int escape_meta_char(char *destination, const char *source);
extern "C" int escape_meta_char(char *destination, const char *source) {
    std::strcpy(destination, source);
    return 42;
}

namespace zorsys::frame {
int escape_meta_char(char *destination, const char *source) noexcept;
int escape_meta_char(char *destination, const char *source) noexcept {
    std::strcpy(destination, "application");
    return static_cast<int>(std::strlen(source));
}
}  // namespace zorsys::frame

namespace {

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
        if (std::sscanf(line, "%63s %7s %2047s", address, kind, name) != 3) {
            continue;
        }
        // clang's function sanitizer emits the type information of function types (a
        // type's mangled name after _ZTIF or _ZTSF) as weak definitions that every library
        // may share; they carry nothing of the library's own.
        const std::string symbol = name;
        if (symbol.rfind("_ZTIF", 0) == 0 || symbol.rfind("_ZTSF", 0) == 0) {
            continue;
        }
        symbols.insert(symbol);
    }
    EXPECT_EQ(pclose(listing), 0) << command;
    return symbols;
}

TEST(Privacy, ApplicationNamesDoNotClashWithTheFrames) {
    char out[1024];
    EXPECT_EQ(escape_meta_char(out, "a;b"), 42);
    EXPECT_STREQ(out, "a;b");
    EXPECT_EQ(zorsys::frame::escape_meta_char(out, "abc"), 3);
    EXPECT_STREQ(out, "application");
    // The library still uses its own frame.
    EXPECT_EQ(zor_twin_escape(out, "a;b"), 0);
    EXPECT_STREQ(out, "a\\;b");
    EXPECT_EQ(zor_sys_start(nullptr), ZOR_SYS_EMISSING);
}

TEST(Privacy, TheHeaderIsPlainC) {
    EXPECT_EQ(zorsys_header_type_size(), 8);
}

TEST(Privacy, TheResourceRecordHasItsLayoutInC) {
    // cpu and mem are the first number of the pair, memsw the second, in an 8-byte value.
    EXPECT_EQ(zorsys_header_resource_layout(0), 0);
    EXPECT_EQ(zorsys_header_resource_layout(1), 0);
    EXPECT_EQ(zorsys_header_resource_layout(2), 4);
    EXPECT_EQ(zorsys_header_resource_layout(3), 0);
    EXPECT_EQ(zorsys_header_resource_layout(4), 8);
    EXPECT_EQ(zorsys_header_resource_layout(5), 0);
}

TEST(Privacy, LibzorsysDefinesOnlyItsExportedFunctions) {
    const std::set<std::string> expected = {"zor_sys_create_container",
                                            "zor_sys_destroy_container",
                                            "zor_sys_open",
                                            "zor_sys_close",
                                            "zor_sys_start",
                                            "zor_sys_stop",
                                            "zor_sys_get_status",
                                            "zor_sys_get_pid",
                                            "zor_sys_get_container_list",
                                            "zor_sys_get_base_list",
                                            "zor_sys_get_snapshot_list",
                                            "zor_sys_get_checkpoint_list",
                                            "zor_sys_remove_base",
                                            "zor_sys_release_container_list",
                                            "zor_sys_release_snapshot_list",
                                            "zor_sys_release_checkpoint_list",
                                            "zor_sys_release_base_list",
                                            "zor_sys_set_resource",
                                            "zor_sys_unset_resource",
                                            "zor_sys_get_resource",
                                            "zor_sys_suspend",
                                            "zor_sys_resume",
                                            "zor_sys_checkpoint",
                                            "zor_sys_restart",
                                            "zor_sys_remove_checkpoint",
                                            "zor_sys_save_snapshot",
                                            "zor_sys_load_snapshot",
                                            "zor_sys_remove_snapshot",
                                            "zor_sys_commit_snapshot",
                                            "zor_sys_share",
                                            "zor_sys_unshare",
                                            "zor_sys_migration_start",
                                            "zor_sys_immigration_start",
                                            "zor_sys_create_cgroup",
                                            "zor_sys_destroy_cgroup",
                                            "zor_sys_bind_pid",
                                            "zor_sys_unbind_pid"};
    EXPECT_EQ(defined_global_symbols(ZORSYS_ARCHIVE), expected);
}

TEST(Privacy, ASecondFrameLibraryDefinesOnlyItsOwnFunctions) {
    EXPECT_EQ(defined_global_symbols(ZORTWIN_ARCHIVE),
              (std::set<std::string>{"zor_twin_escape", "zor_twin_start"}));
}

}  // namespace
