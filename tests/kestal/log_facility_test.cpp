// The log facility at the syslog wire: what glibc really sends to /dev/log.
#include <kestal.h>

#include "child_process.hpp"
#include "private_log_socket.hpp"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using kestal::test::PrivateLogSocket;
using kestal::test::run_in_child;
using kestal::test::SyslogRecord;

class LogFacility : public testing::Test {
protected:
    void SetUp() override {
        KESTAL_REQUIRE_LOG_SOCKET();
        kestal_log_open("kestal-test", LOG_PID, 0);
        kestal_log_set_format("%msg%");
        PrivateLogSocket::instance().clear();
    }
    void TearDown() override { kestal_log_set_format("%msg%"); }

    static std::vector<SyslogRecord> take() { return PrivateLogSocket::instance().take(); }

    // Logs one line and returns the one record that arrived.
    static SyslogRecord log_one(int priority, const char *file, int line, const char *func,
                                const char *message) {
        kestal_log(priority, file, line, func, "%s", message);
        std::vector<SyslogRecord> records = take();
        EXPECT_EQ(records.size(), 1u);
        return records.empty() ? SyslogRecord{} : records.front();
    }
};

TEST_F(LogFacility, DefaultTemplateSendsTheBareMessageWithANewline) {
    const SyslogRecord record = log_one(LOG_INFO, "file", 1, "fn", "hello");
    EXPECT_EQ(record.priority, LOG_LOCAL5 | LOG_INFO);
    EXPECT_EQ(record.priority, 174);
    EXPECT_EQ(record.tag, "kestal-test[" + std::to_string(getpid()) + "]");
    EXPECT_EQ(record.message, "hello\n");
    EXPECT_TRUE(std::regex_match(record.timestamp,
                                 std::regex("[A-Z][a-z]{2} [ 1-3][0-9] \\d\\d:\\d\\d:\\d\\d")))
        << record.timestamp;
}

struct NamesCase {
    int priority;
    int sent_priority;
    const char *facility;
    const char *level;
};

void PrintTo(const NamesCase &c, std::ostream *os) {
    *os << "priority " << c.priority;
}

class PriorityNames : public LogFacility, public testing::WithParamInterface<NamesCase> {};

TEST_P(PriorityNames, FacilityAndLevelNamesFollowThePriority) {
    kestal_log_set_format("%faci%.%lvl%");
    const NamesCase &c = GetParam();
    const SyslogRecord record = log_one(c.priority, nullptr, 0, nullptr, "x");
    EXPECT_EQ(record.priority, c.sent_priority);
    EXPECT_EQ(record.message, std::string(c.facility) + "." + c.level + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Priorities, PriorityNames,
    testing::Values(
        // No facility bits: LOG_LOCAL5 is added, for the names and for the syslog call.
        NamesCase{0, 168, "local5", "emerg"}, NamesCase{1, 169, "local5", "alert"},
        NamesCase{2, 170, "local5", "crit"}, NamesCase{3, 171, "local5", "err"},
        NamesCase{4, 172, "local5", "warn"}, NamesCase{5, 173, "local5", "notice"},
        NamesCase{6, 174, "local5", "info"}, NamesCase{7, 175, "local5", "debug"},
        // The first table entry with the same bits names it: 32 is auth, never security.
        NamesCase{32 + 6, 38, "auth", "info"}, NamesCase{LOG_USER | LOG_ERR, 11, "user", "err"},
        NamesCase{LOG_MAIL | LOG_DEBUG, 23, "mail", "debug"},
        NamesCase{LOG_AUTHPRIV | 0, 80, "authpriv", "emerg"},
        NamesCase{LOG_LOCAL0 | 5, 133, "local0", "notice"},
        NamesCase{LOG_LOCAL7 | 7, 191, "local7", "debug"},
        // Facility bits found in no table entry name nothing but are sent unchanged.
        NamesCase{200, 200, "", "emerg"}, NamesCase{192 + 3, 195, "mark", "err"}));

TEST_F(LogFacility, EveryKeyExpandsToItsValue) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    // The program name comes from /proc/self/status, which holds at most 15 characters.
    const std::string program = std::string(program_invocation_short_name).substr(0, 15);
    kestal_log_set_format(
        "faci=%faci% lvl=%lvl% time=%time% host=%host% prog=%prog% pid=%pid% msg=%msg% "
        "file=%file% line=%line% func=%func% cont=[%cont%]");
    const std::string message =
        log_one(LOG_USER | LOG_WARNING, "source", 77, "function", "m").message;
    const std::regex form(
        "faci=user lvl=warn time=[A-Z][a-z]{2} [0-3][0-9] "
        "\\d\\d:\\d\\d:\\d\\d\\.\\d{3}( host=.*)\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(message, match, form)) << message;
    EXPECT_EQ(match[1].str(), " host=" + std::string(host) + " prog=" + program +
                                  " pid=" + std::to_string(getpid()) +
                                  " msg=m file=source line=77 func=function cont=[" +
                                  get_container_name() + "]");
}

TEST_F(LogFacility, MissingSourcePositionExpandsToEmptyTexts) {
    kestal_log_set_format("%lvl%: %msg% (%file%:%line% %func%)");
    EXPECT_EQ(log_one(6, nullptr, 0, nullptr, "started").message, "info: started (:0 )\n");
}

TEST_F(LogFacility, MillisecondsAreZeroPaddedToThreeDigits) {
    kestal_log_set_format("%time%");
    const std::regex form("[A-Z][a-z]{2} [0-3][0-9] \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\n");
    for (int i = 0; i < 50; ++i) {
        const std::string stamp = log_one(6, nullptr, 0, nullptr, "x").message;
        ASSERT_TRUE(std::regex_match(stamp, form)) << stamp;
        usleep(997);
    }
}

TEST_F(LogFacility, EmptyTemplateSendsAnEmptyLine) {
    kestal_log_set_format("");
    EXPECT_EQ(log_one(6, nullptr, 0, nullptr, "lost").message, "\n");
}

TEST_F(LogFacility, TemplateIsCutAt255Characters) {
    // Each character is its own plain text, so the line shows how much of the template is kept.
    std::string tmpl;
    for (int i = 0; i < 300; ++i) {
        tmpl += static_cast<char>('a' + i % 26);
    }
    kestal_log_set_format(tmpl.c_str());
    EXPECT_EQ(log_one(6, nullptr, 0, nullptr, "x").message, tmpl.substr(0, 255) + "\n");
}

TEST_F(LogFacility, NullTemplateLeavesTheTemplateUnchanged) {
    kestal_log_set_format("<%msg%>");
    kestal_log_set_format(nullptr);
    EXPECT_EQ(log_one(6, nullptr, 0, nullptr, "kept").message, "<kept>\n");
}

TEST_F(LogFacility, MessageAndLineAreCutAt1023Characters) {
    const std::string message(1500, 'q');
    EXPECT_EQ(log_one(6, nullptr, 0, nullptr, message.c_str()).message,
              message.substr(0, 1023) + "\n");
    kestal_log_set_format("%msg%+");
    EXPECT_EQ(log_one(6, nullptr, 0, nullptr, message.substr(0, 1023).c_str()).message,
              message.substr(0, 1023) + "\n");
    kestal_log_set_format("[%msg%]");
    EXPECT_EQ(log_one(6, nullptr, 0, nullptr, message.substr(0, 1022).c_str()).message,
              "[" + message.substr(0, 1022) + "\n");
}

TEST_F(LogFacility, MessageIsFormattedWithPrintfRules) {
    kestal_log(6, nullptr, 0, nullptr, "%s=%d %05.1f %%", "n", -12, 3.14159);
    const std::vector<SyslogRecord> records = take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "n=-12 003.1 %\n");
}

// The implicit open and the one-time lookups are per process, so these run in a child.
class FirstUse : public testing::Test {
protected:
    void SetUp() override {
        KESTAL_REQUIRE_LOG_SOCKET();
        PrivateLogSocket::instance().clear();
    }
};

TEST_F(FirstUse, FirstLogOpensWithTheProgramNameAndProcessId) {
    const auto child = run_in_child([&] {
        // A distinct process name shows that the identity is read from /proc/self/status.
        prctl(PR_SET_NAME, "kestal-probe", 0, 0, 0);
        kestal_log(LOG_NOTICE, nullptr, 0, nullptr, "first");
        return 0;
    });
    ASSERT_EQ(child.exit_code(), 0) << child.err;
    const std::vector<SyslogRecord> records = PrivateLogSocket::instance().take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(std::regex_match(records[0].tag, std::regex("kestal-probe\\[\\d+\\]")))
        << records[0].tag;
    EXPECT_EQ(records[0].priority, LOG_LOCAL5 | LOG_NOTICE);
    EXPECT_EQ(records[0].message, "first\n");
}

TEST_F(FirstUse, ExplicitOpenPreventsTheImplicitOne) {
    const auto child = run_in_child([] {
        prctl(PR_SET_NAME, "kestal-probe", 0, 0, 0);
        kestal_log_open("chosen", 0, 0);
        kestal_log(LOG_INFO, nullptr, 0, nullptr, "one");
        kestal_log(LOG_INFO, nullptr, 0, nullptr, "two");
        return 0;
    });
    ASSERT_EQ(child.exit_code(), 0) << child.err;
    const std::vector<SyslogRecord> records = PrivateLogSocket::instance().take();
    ASSERT_EQ(records.size(), 2u);
    for (const SyslogRecord &record : records) {
        EXPECT_EQ(record.tag, "chosen");  // no LOG_PID, so no openlog of the facility's own
    }
}

TEST_F(FirstUse, LogAfterCloseDoesNotOpenTheLogAgain) {
    const auto child = run_in_child([] {
        kestal_log_open("chosen", 0, 0);
        kestal_log_close();
        // An implicit open now would show this name with a process number.
        prctl(PR_SET_NAME, "kestal-probe", 0, 0, 0);
        kestal_log(LOG_INFO, nullptr, 0, nullptr, "after close");
        return 0;
    });
    ASSERT_EQ(child.exit_code(), 0) << child.err;
    const std::vector<SyslogRecord> records = PrivateLogSocket::instance().take();
    ASSERT_EQ(records.size(), 1u);
    // closelog() forgot the identity, so glibc falls back to the program's own name.
    EXPECT_EQ(records[0].tag, program_invocation_short_name);
    EXPECT_EQ(records[0].message, "after close\n");
}

TEST_F(FirstUse, ConcurrentFirstCallsOpenOnceBeforeAnyLineIsSent) {
    constexpr int kThreads = 8;
    const auto child = run_in_child([] {
        prctl(PR_SET_NAME, "kestal-race", 0, 0, 0);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([i] { kestal_log(LOG_INFO, "t", i, "f", "thread %d", i); });
        }
        for (std::thread &thread : threads) {
            thread.join();
        }
        return 0;
    });
    ASSERT_EQ(child.exit_code(), 0) << child.err;
    const std::vector<SyslogRecord> records = PrivateLogSocket::instance().take();
    ASSERT_EQ(records.size(), static_cast<std::size_t>(kThreads));
    for (const SyslogRecord &record : records) {
        EXPECT_TRUE(std::regex_match(record.tag, std::regex("kestal-race\\[\\d+\\]")))
            << record.tag;
    }
}

TEST_F(FirstUse, HostAndProgramNamesAreLookedUpOnce) {
    const auto child = run_in_child([] {
        prctl(PR_SET_NAME, "before", 0, 0, 0);
        kestal_log_open("x", 0, 0);
        kestal_log_set_format("%prog%");
        kestal_log(LOG_INFO, nullptr, 0, nullptr, "-");
        prctl(PR_SET_NAME, "after", 0, 0, 0);
        kestal_log(LOG_INFO, nullptr, 0, nullptr, "-");
        return 0;
    });
    ASSERT_EQ(child.exit_code(), 0) << child.err;
    const std::vector<SyslogRecord> records = PrivateLogSocket::instance().take();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, "before\n");
    EXPECT_EQ(records[1].message, "before\n");
}

}  // namespace
