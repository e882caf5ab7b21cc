// The stand-in tools, run through the real shell: what they record and how they answer.
#include "encoding.hpp"
#include "standin_harness.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

struct Ran {
    int exit_status;  // -signal when ended by a signal
    std::string out;
};

// Runs a shell command line and collects its standard output.
Ran run(const std::string &command) {
    std::FILE *stream = popen(command.c_str(), "r");
    if (stream == nullptr) {
        return {-1000, ""};
    }
    std::string out;
    char block[4096];
    std::size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, stream)) > 0) {
        out.append(block, got);
    }
    const int status = pclose(stream);
    if (WIFSIGNALED(status)) {
        return {-WTERMSIG(status), out};
    }
    return {WEXITSTATUS(status), out};
}

class Standin : public ::testing::Test {
protected:
    standin::Session tools_;
};

TEST_F(Standin, RecordsTheExactWordsAndTheWayIn) {
    EXPECT_EQ(run("sudo zor-sys start -n 'a b' '' 'x%y' \"$(printf 'n\\tl\\n')\"").exit_status, 0);
    EXPECT_EQ(run("zor-sys list --checkpoint -n web").exit_status, 0);
    EXPECT_EQ(run("zor-target").exit_status, 0);
    const auto invocations = tools_.invocations();
    ASSERT_EQ(invocations.size(), 3u);
    EXPECT_EQ(invocations[0].program, "zor-sys");
    EXPECT_TRUE(invocations[0].via_sudo);
    // The shell's command substitution drops the trailing newline.
    EXPECT_EQ(invocations[0].args, (Words{"start", "-n", "a b", "", "x%y", "n\tl"}));
    EXPECT_FALSE(invocations[1].via_sudo);
    EXPECT_EQ(invocations[1].args, (Words{"list", "--checkpoint", "-n", "web"}));
    EXPECT_EQ(invocations[2].program, "zor-target");
    EXPECT_TRUE(invocations[2].args.empty());
}

TEST_F(Standin, RecordsEveryByteValue) {
    std::string all;
    for (int byte = 1; byte < 256; ++byte) {
        all += static_cast<char>(byte);
    }
    const std::string file = (tools_.directory() / "bytes").string();
    std::ofstream(file, std::ios::binary) << all;
    EXPECT_EQ(run("sudo zor-app info -n \"$(cat " + file + ")\"").exit_status, 0);
    const auto invocations = tools_.invocations();
    ASSERT_EQ(invocations.size(), 1u);
    EXPECT_EQ(invocations[0].program, "zor-app");
    ASSERT_EQ(invocations[0].args.size(), 3u);
    EXPECT_EQ(invocations[0].args[2], all);
}

TEST_F(Standin, AnswersWithTheScriptedStatusAndOutput) {
    tools_.script("zor-sys", "info", standin::prints("TYPE 100\nNAME web\n"));
    tools_.script("zor-sys", "status", standin::exits(42));
    tools_.script("zor-app", "status", standin::exits(7));
    EXPECT_EQ(run("sudo zor-sys info -n web").out, "TYPE 100\nNAME web\n");
    EXPECT_EQ(run("sudo zor-sys status -n web").exit_status, 42);
    EXPECT_EQ(run("sudo zor-app status -n web").exit_status, 7);
    const Ran unscripted = run("sudo zor-sys start -n web");
    EXPECT_EQ(unscripted.exit_status, 0);
    EXPECT_EQ(unscripted.out, "");
}

TEST_F(Standin, TheLongestVerbAndTheLastLineWin) {
    tools_.script("zor-sys", "*", standin::exits(9));
    tools_.script("zor-sys", "list", standin::prints("all\n"));
    tools_.script("zor-sys", "list --base", standin::prints("base1\n"));
    EXPECT_EQ(run("sudo zor-sys list").out, "all\n");
    EXPECT_EQ(run("sudo zor-sys list --base").out, "base1\n");
    EXPECT_EQ(run("sudo zor-sys list --snapshot -n web").out, "all\n");
    EXPECT_EQ(run("sudo zor-sys stop -n web").exit_status, 9);
    tools_.script("zor-sys", "list", standin::prints("later\n", 3));
    const Ran later = run("sudo zor-sys list");
    EXPECT_EQ(later.out, "later\n");
    EXPECT_EQ(later.exit_status, 3);
}

TEST_F(Standin, EndsBySignalWhenScriptedSo) {
    tools_.script("zor-sys", "start", standin::killed_by(SIGTERM));
    EXPECT_EQ(run("exec sudo zor-sys start -n web").exit_status, -SIGTERM);
}

TEST_F(Standin, PrintsAFileAfterItsText) {
    const std::string file = (tools_.directory() / "lines").string();
    std::string lines;
    for (int line = 0; line < 5000; ++line) {
        lines += "name" + std::to_string(line) + "\n";
    }
    std::ofstream(file) << lines;
    standin::Answer answer = standin::prints("head\n");
    answer.out_file = file;
    tools_.script("zor-sys", "list", answer);
    EXPECT_EQ(run("sudo zor-sys list").out, "head\n" + lines);
}

TEST_F(Standin, SudoPassesThroughAndFailsLikeSudo) {
    EXPECT_EQ(run("sudo printf ok").out, "ok");
    EXPECT_EQ(run("sudo no-such-program-here 2>/dev/null").exit_status, 1);
    EXPECT_EQ(run("sudo 2>/dev/null").exit_status, 1);
    EXPECT_EQ(run("sudo -u root zor-sys start 2>/dev/null").exit_status, 1);
    EXPECT_TRUE(tools_.invocations().empty());
}

TEST_F(Standin, WithoutAScriptTheToolRefuses) {
    const Ran unscripted = run("ZOR_STANDIN_SCRIPT= zor-sys create -n web 2>&1");
    EXPECT_EQ(unscripted.exit_status, 1);
    EXPECT_NE(unscripted.out.find("runtime"), std::string::npos) << unscripted.out;
    EXPECT_EQ(run("zor-standin 2>/dev/null").exit_status, 1);
    // The tool's invocation was recorded as ever.
    EXPECT_EQ(tools_.invocations().size(), 1u);
}

TEST(StandinEncoding, RoundTripsEveryText) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(1, 255);
    std::uniform_int_distribution<int> length(0, 40);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        for (int at = length(random); at > 0; --at) {
            text += static_cast<char>(byte(random));
        }
        const std::string encoded = standin::encode(text);
        ASSERT_EQ(encoded.find(' '), std::string::npos);
        ASSERT_EQ(encoded.find('\n'), std::string::npos);
        ASSERT_EQ(standin::decode(encoded), text);
    }
}

TEST(StandinEncoding, SplitsAtEverySingleBlank) {
    EXPECT_EQ(standin::split_fields("a  b "), (Words{"a", "", "b", ""}));
    EXPECT_EQ(standin::split_fields(""), (Words{""}));
}

}  // namespace
