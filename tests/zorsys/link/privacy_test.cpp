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
    EXPECT_EQ(zor_sys_start(nullptr), -201);
}

TEST(Privacy, TheHeaderIsPlainC) {
    EXPECT_EQ(zorsys_header_type_size(), 8);
}

TEST(Privacy, LibzorsysDefinesOnlyItsExportedFunctions) {
    const std::set<std::string> expected = {"zor_sys_create_container",
                                            "zor_sys_destroy_container",
                                            "zor_sys_open",
                                            "zor_sys_close",
                                            "zor_sys_start",
                                            "zor_sys_stop",
                                            "zor_sys_get_status",
                                            "zor_sys_get_pid"};
    EXPECT_EQ(defined_global_symbols(ZORSYS_ARCHIVE), expected);
}

TEST(Privacy, ASecondFrameLibraryDefinesOnlyItsOwnFunctions) {
    EXPECT_EQ(defined_global_symbols(ZORTWIN_ARCHIVE),
              (std::set<std::string>{"zor_twin_escape", "zor_twin_start"}));
}

}  // namespace
