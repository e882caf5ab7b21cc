// libkestal exports exactly its documented names, all under one version node.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

// The documented interface of libkestal.so.1.
const std::set<std::string> kDocumentedNames = {
    // Log facility and its tables.
    "kestal_log_open",
    "kestal_log_set_format",
    "kestal_log",
    "kestal_log_close",
    "prioritynames",
    "facilitynames",
    "logfmt_keys",
    // Container identity.
    "get_container_name",
    "kestal_get_container_name",
    "is_container",
    // Termination callbacks, the channel table and its state.
    "kestal_termination_register_callback",
    "kestal_termination_unregister_callback",
    "commufunc",
    "sem",
    "signo_for_sem",
    "pipefd",
    "tid",
    "clockid",
    "tp_start",
    "tp_end",
};

// Names added after the first release, under a version node of their own.
const std::set<std::string> kLaterNames = {
    "kestal_termination_get_time_stamps",
    "kestal_termination_set_clock",
};

TEST(ExportedSymbols, DynamicSymbolTableHoldsExactlyTheDocumentedNames) {
    const std::string command =
        std::string("nm -D --defined-only --format=posix ") + KESTAL_LIBRARY_PATH + " 2>&1";
    FILE *nm = popen(command.c_str(), "r");
    ASSERT_NE(nm, nullptr);
    std::set<std::string> exported;
    std::size_t later_found = 0;
    char line[512];
    while (std::fgets(line, sizeof line, nm) != nullptr) {
        std::string entry(line);
        const std::string name = entry.substr(0, entry.find(' '));
        const std::size_t at = name.find('@');
        if (name.substr(0, at) == "KESTAL_1" || name.substr(0, at) == "KESTAL_1.1") {
            continue;  // the version nodes themselves
        }
        EXPECT_NE(at, std::string::npos) << name << " is exported without a version";
        const bool later = kLaterNames.count(name.substr(0, at)) != 0;
        if (at != std::string::npos) {
            EXPECT_EQ(name.substr(at), later ? "@@KESTAL_1.1" : "@@KESTAL_1") << name;
        }
        if (!later) {
            exported.insert(name.substr(0, at));
        }
        later_found += later;
    }
    ASSERT_EQ(pclose(nm), 0) << "nm failed on " << KESTAL_LIBRARY_PATH;
    EXPECT_EQ(exported, kDocumentedNames);
    EXPECT_EQ(later_found, kLaterNames.size());
}

}  // namespace
