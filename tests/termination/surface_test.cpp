// What libkestal.so.1 shows of the termination facility: its documented names and nothing of
// the machinery behind them (channels, relay, the interface path used by tests).
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

const std::set<std::string> kTerminationNames = {
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

std::set<std::string> exported_names() {
    const std::string command =
        std::string("nm -D --defined-only --format=posix ") + KESTAL_LIBRARY_PATH + " 2>&1";
    std::set<std::string> names;
    FILE *nm = popen(command.c_str(), "r");
    if (nm == nullptr) {
        return names;
    }
    char line[512];
    while (std::fgets(line, sizeof line, nm) != nullptr) {
        const std::string entry(line);
        const std::string name = entry.substr(0, entry.find(' '));
        names.insert(name);
    }
    pclose(nm);
    return names;
}

TEST(TerminationSurface, TheDocumentedNamesAreExportedUnderTheVersionNode) {
    const std::set<std::string> names = exported_names();
    ASSERT_FALSE(names.empty());
    for (const std::string &name : kTerminationNames) {
        EXPECT_EQ(names.count(name + "@@KESTAL_1"), 1u) << name;
    }
    for (const char *name :
         {"kestal_termination_get_time_stamps", "kestal_termination_set_clock"}) {
        EXPECT_EQ(names.count(std::string(name) + "@@KESTAL_1.1"), 1u) << name;
    }
}

TEST(TerminationSurface, NothingOfTheMachineryIsExported) {
    for (const std::string &name : exported_names()) {
        for (const char *internal :
             {"pipeInit", "pipeRecv", "pipeSend", "pipeFinish", "semInit", "semRecv", "semSend",
              "semFinish", "proc_kestal", "stop_thread", "thread_func", "signal_handler", "cblist",
              "termination11", "_ZN"}) {
            EXPECT_EQ(name.find(internal), std::string::npos) << name;
        }
    }
}

}  // namespace
