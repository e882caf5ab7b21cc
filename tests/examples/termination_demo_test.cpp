// The termination demo end to end: what it prints about the threads its callbacks ran on, and
// the registration lines it logs.
#include "child_process.hpp"
#include "private_log_socket.hpp"

#include <gtest/gtest.h>

#include <syslog.h>

#include <regex>
#include <string>
#include <vector>

namespace {

using kestal::test::ChildResult;
using kestal::test::PrivateLogSocket;
using kestal::test::run_program;
using kestal::test::SyslogRecord;

ChildResult run_demo() {
    return run_program({"/bin/sh", "-c", "exec \"$0\"", DEMO_DIRECTORY "/termination-demo"});
}

// The number after label in the output ("main thread: 812"), or "".
std::string number_after(const std::string &out, const std::string &label) {
    std::smatch match;
    const std::regex form("(^|\n)" + label + ": ([0-9]+)\n");
    return std::regex_search(out, match, form) ? match[2].str() : "";
}

TEST(TerminationDemo, CallbacksRunOnceEachOnTheRelayThread) {
    const ChildResult result = run_demo();
    ASSERT_EQ(result.exit_code(), 0) << result.out << result.err;
    const std::string main_thread = number_after(result.out, "main thread");
    const std::string relay = number_after(result.out, "relay thread");
    ASSERT_NE(main_thread, "") << result.out;
    ASSERT_NE(relay, "") << result.out;
    EXPECT_NE(main_thread, relay);
    // Each callback ran exactly once, on the relay thread, after its own signal.
    for (const std::string line : {"callback for SIGUSR1 (signal 10) runs on thread ",
                                   "callback for SIGUSR2 (signal 12) "
                                   "runs on thread "}) {
        const std::string shown = line + relay + "\n";
        const std::size_t at = result.out.find(shown);
        EXPECT_NE(at, std::string::npos) << result.out;
        EXPECT_EQ(result.out.find(line, at + 1), std::string::npos) << result.out;
    }
    EXPECT_LT(result.out.find("raise(SIGUSR1)"), result.out.find("callback for SIGUSR1 ("));
    EXPECT_LT(result.out.find("kill(getpid(), SIGUSR2)"),
              result.out.find("callback for SIGUSR2 ("));
    EXPECT_EQ(result.out.find(" NO\n"), std::string::npos) << result.out;
}

TEST(TerminationDemo, LogsEachRegistrationAndUnregistration) {
    KESTAL_REQUIRE_LOG_SOCKET();
    PrivateLogSocket::instance().clear();
    const ChildResult result = run_demo();
    ASSERT_EQ(result.exit_code(), 0) << result.out << result.err;
    std::vector<std::string> messages;
    for (const SyslogRecord &record : PrivateLogSocket::instance().take()) {
        EXPECT_EQ(record.priority, LOG_LOCAL5 | LOG_INFO);
        EXPECT_EQ(record.tag.rfind("termination-demo[", 0), 0u) << record.tag;
        messages.push_back(record.message);
    }
    EXPECT_EQ(messages,
              (std::vector<std::string>{"event=KESTAL Register\n", "event=KESTAL Register\n",
                                        "event=KESTAL Unregister\n", "event=KESTAL Unregister\n"}));
}

}  // namespace
