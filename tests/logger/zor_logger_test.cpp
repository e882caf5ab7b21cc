// zor-logger end to end: run the program, read what reaches the syslog socket.
#include "child_process.hpp"
#include "private_log_socket.hpp"

#include <gtest/gtest.h>

#include <syslog.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

namespace {

using kestal::test::ChildResult;
using kestal::test::PrivateLogSocket;
using kestal::test::run_program;
using kestal::test::SyslogRecord;

constexpr char kUsage[] = "usage: zor-logger [-is] [-f format] [-p pri] [-t tag] [ message ... ]\n";

class ZorLogger : public testing::Test {
protected:
    void SetUp() override {
        KESTAL_REQUIRE_LOG_SOCKET();
        PrivateLogSocket::instance().clear();
    }

    static ChildResult run(std::vector<std::string> args) {
        args.insert(args.begin(), ZOR_LOGGER_PATH);
        return run_program(args);
    }

    static std::vector<SyslogRecord> take() { return PrivateLogSocket::instance().take(); }

    static std::vector<std::string> messages(const std::vector<SyslogRecord> &records) {
        std::vector<std::string> texts;
        for (const SyslogRecord &record : records) {
            texts.push_back(record.message);
        }
        return texts;
    }
};

using Texts = std::vector<std::string>;

TEST_F(ZorLogger, WordsAreJoinedIntoMessagesAtLocal5Notice) {
    const ChildResult result = run({"-t", "script", "a", "b", "c"});
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::vector<SyslogRecord> records = take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].priority, LOG_LOCAL5 | LOG_NOTICE);
    EXPECT_EQ(records[0].tag, "script");
    EXPECT_EQ(records[0].message, "a b c\n");
}

TEST_F(ZorLogger, SentencesAreNotBrokenIntoFragments) {
    ASSERT_EQ(run({"-t", "s", "hello", "world,", "this", "is", "one", "line"}).exit_code(), 0);
    EXPECT_EQ(messages(take()), Texts{"hello world, this is one line\n"});
    const std::string huge(3000, 'x');
    ASSERT_EQ(run({"-t", "s", "a", huge, "b"}).exit_code(), 0);
    EXPECT_EQ(messages(take()), (Texts{"a\n", huge.substr(0, 1023) + "\n", "b\n"}));
}

TEST_F(ZorLogger, NoWordsOrOneEmptyWordLogsNothing) {
    EXPECT_EQ(run({"-t", "s"}).exit_code(), 0);
    EXPECT_EQ(run({"-t", "s", ""}).exit_code(), 0);
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(run({"-t", "s", "a", "", "b"}).exit_code(), 0);
    EXPECT_EQ(messages(take()), Texts{"a  b\n"});
}

struct PriorityCase {
    const char *arg;
    int priority;
};

void PrintTo(const PriorityCase &c, std::ostream *os) {
    *os << c.arg;
}

class ZorLoggerPriority : public ZorLogger, public testing::WithParamInterface<PriorityCase> {};

TEST_P(ZorLoggerPriority, MessageGoesOutAtTheParsedPriority) {
    const ChildResult result = run({"-t", "s", "-p", GetParam().arg, "m"});
    ASSERT_EQ(result.exit_code(), 0) << result.err;
    const std::vector<SyslogRecord> records = take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].priority, GetParam().priority);
}

INSTANTIATE_TEST_SUITE_P(Priorities, ZorLoggerPriority,
                         testing::Values(PriorityCase{"user.info", 14},
                                         PriorityCase{"USER.INFO", 14}, PriorityCase{"16.3", 19},
                                         PriorityCase{"13", 173}, PriorityCase{"local3.none", 152},
                                         // No facility bits: logged as local5.
                                         PriorityCase{"kern.info", 174}, PriorityCase{"3.6", 174},
                                         PriorityCase{"daemon.crit", 26}));

TEST_F(ZorLogger, LaterPriorityOptionReplacesAnEarlierOne) {
    ASSERT_EQ(run({"-t", "s", "-p", "user.err", "-p", "mail.info", "m"}).exit_code(), 0);
    const std::vector<SyslogRecord> records = take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].priority, LOG_MAIL | LOG_INFO);
}

struct FailureCase {
    std::vector<std::string> args;
    std::string err;  // a regular expression for standard error
};

void PrintTo(const FailureCase &c, std::ostream *os) {
    for (const std::string &arg : c.args) {
        *os << arg << ' ';
    }
}

class ZorLoggerFailure : public ZorLogger, public testing::WithParamInterface<FailureCase> {};

TEST_P(ZorLoggerFailure, ExitsWithStatusOneAndLogsNothing) {
    const ChildResult result = run(GetParam().args);
    EXPECT_EQ(result.exit_code(), 1);
    EXPECT_TRUE(std::regex_match(result.err, std::regex(GetParam().err))) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(take().empty());
}

const std::string kUsagePattern =
    "usage: zor-logger \\[-is\\] \\[-f format\\] \\[-p pri\\] "
    "\\[-t tag\\] \\[ message \\.\\.\\. \\]\n";

INSTANTIATE_TEST_SUITE_P(
    Failures, ZorLoggerFailure,
    testing::Values(FailureCase{{"-p", "user", "m"}, "unknown priority name: user\\.\n"},
                    FailureCase{{"-p", ".info", "m"}, "unknown facility name: \\.\n"},
                    FailureCase{{"-p", "user.", "m"}, "unknown priority name: \\.\n"},
                    FailureCase{{"-p", "nosuch.nosuch", "m"}, "unknown facility name: nosuch\\.\n"},
                    // A bad -p ends the program before later options are looked at.
                    FailureCase{{"-p", "loud", "-x", "m"}, "unknown priority name: loud\\.\n"},
                    // getopt's own diagnostic comes first, then the usage line.
                    FailureCase{{"-x", "m"}, ".*invalid option -- 'x'\n" + kUsagePattern},
                    FailureCase{{"-p"}, ".*option requires an argument -- 'p'\n" + kUsagePattern},
                    FailureCase{{"-t"}, ".*option requires an argument -- 't'\n" + kUsagePattern},
                    FailureCase{{"-f"}, ".*option requires an argument -- 'f'\n" + kUsagePattern}));

TEST_F(ZorLogger, UsageLineIsSeventyBytes) {
    const ChildResult result = run({"-q"});
    ASSERT_EQ(result.exit_code(), 1);
    ASSERT_GE(result.err.size(), 70u);
    EXPECT_EQ(result.err.substr(result.err.size() - 70), kUsage);
}

TEST_F(ZorLogger, OptionsSetPidStandardErrorAndTemplate) {
    const ChildResult result = run({"-i", "-s", "-t", "tagged", "-f", "[%lvl%] %msg%", "hi"});
    ASSERT_EQ(result.exit_code(), 0) << result.err;
    const std::vector<SyslogRecord> records = take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(std::regex_match(records[0].tag, std::regex("tagged\\[\\d+\\]"))) << records[0].tag;
    EXPECT_EQ(records[0].message, "[notice] hi\n");
    // LOG_PERROR: the platform prints the record on standard error as well.
    EXPECT_NE(result.err.find("[notice] hi"), std::string::npos) << result.err;
}

TEST_F(ZorLogger, WithoutTagTheLoginNameOrProgramNameIsTheIdentity) {
    const ChildResult result = run({"x"});
    ASSERT_EQ(result.exit_code(), 0) << result.err;
    const std::vector<SyslogRecord> records = take();
    ASSERT_EQ(records.size(), 1u);
    const char *login = getlogin();
    // getlogin() is null without a controlling terminal; openlog then uses the program name.
    EXPECT_EQ(records[0].tag, login != nullptr ? login : "zor-logger");
}

TEST_F(ZorLogger, ReadsNothingFromStandardInput) {
    const ChildResult result =
        run_program({"/bin/sh", "-c", "echo from-stdin | \"$0\" -t s", ZOR_LOGGER_PATH});
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    EXPECT_TRUE(take().empty());
}

// For the facility.level names that both programs understand, the priority sent equals the
// one the platform's own logger sends for the same argument.
TEST_F(ZorLogger, PrioritiesMatchThePlatformLogger) {
    if (access("/usr/bin/logger", X_OK) != 0) {
        GTEST_SKIP() << "the platform logger is not installed";
    }
    const char *const facilities[] = {"user", "mail",   "daemon", "auth",   "syslog",
                                      "lpr",  "news",   "uucp",   "cron",   "authpriv",
                                      "ftp",  "local0", "local4", "local7", "SECURITY"};
    const char *const levels[] = {"emerg", "alert",  "crit", "err",   "error", "warning",
                                  "warn",  "notice", "info", "debug", "panic", "5"};
    int compared = 0;
    for (const char *facility : facilities) {
        for (const char *level : levels) {
            const std::string arg = std::string(facility) + "." + level;
            ASSERT_EQ(run({"-t", "s", "-p", arg, "m"}).exit_code(), 0) << arg;
            const std::vector<SyslogRecord> ours = take();
            ASSERT_EQ(run_program({"/usr/bin/logger", "--socket-errors=off", "-u", "/dev/log", "-t",
                                   "s", "-p", arg, "m"})
                          .exit_code(),
                      0)
                << arg;
            const std::vector<SyslogRecord> theirs = take();
            ASSERT_EQ(ours.size(), 1u) << arg;
            ASSERT_EQ(theirs.size(), 1u) << arg;
            EXPECT_EQ(ours[0].priority, theirs[0].priority) << arg;
            ++compared;
        }
    }
    EXPECT_EQ(compared, 15 * 12);
}

}  // namespace
