// No name can make the shell do more than run the tool with the name as one word: for every byte
// value and for thousands of random names built from bytes and injection attempts, starting
// a container through the real shell gives the stand-in exactly the expected words, runs no
// other command (a canary file and the working directory prove it) and never hands the
// shell more than 1023 characters.
#include <zorsys.h>

#include "log_recorder.hpp"
#include "shell_interceptor.hpp"
#include "shell_model.hpp"
#include "standin_harness.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

constexpr std::size_t kPrefixLength = sizeof "sudo zor-sys start -n " - 1;
constexpr std::size_t kSuffixLength = sizeof " > /dev/null 2>&1" - 1;

using client_test::escaped_length;

class Injection : public ::testing::Test {
protected:
    void SetUp() override {
        client_test::reset_shell();
        client_test::clear_logged_lines();
        previous_directory_ = std::filesystem::current_path();
        // Redirections that escaped the escaping would write into the working directory.
        std::filesystem::current_path(tools_.directory());
        canary_ = (tools_.directory() / "canary").string();
    }
    void TearDown() override {
        std::filesystem::current_path(previous_directory_);
        client_test::reset_shell();
    }

    void start_container_named(const std::string &name) {
        tools_.clear_record();
        client_test::reset_shell();
        client_test::clear_logged_lines();
        zor_sys_handle handle{0, const_cast<char *>(name.c_str())};
        const int code = zor_sys_start(&handle);

        const bool fits = kPrefixLength + escaped_length(name) + kSuffixLength <= 1023;
        const std::vector<standin::Invocation> invocations = tools_.invocations();
        if (fits) {
            ASSERT_EQ(code, 0) << testing::PrintToString(name);
            ASSERT_EQ(invocations.size(), 1u) << testing::PrintToString(name);
            const Words expected{"start", "-n", name};
            EXPECT_EQ(invocations[0].args, expected) << testing::PrintToString(name);
            EXPECT_TRUE(invocations[0].via_sudo);
        } else {
            ASSERT_EQ(code, ZOR_SYS_ETOOLONG) << name.size();
            EXPECT_TRUE(invocations.empty());
        }
        for (const client_test::ShellCall &call : client_test::shell_calls()) {
            EXPECT_LE(call.command.size(), 1023u);
        }
        ASSERT_FALSE(std::filesystem::exists(canary_)) << testing::PrintToString(name);
        for (const auto &entry : std::filesystem::directory_iterator(tools_.directory())) {
            const std::string file = entry.path().filename().string();
            ASSERT_TRUE(file == "script" || file == "record")
                << "a redirection wrote " << file << " for " << testing::PrintToString(name);
        }
    }

    standin::Session tools_;
    std::string canary_;
    std::filesystem::path previous_directory_;
};

TEST_F(Injection, EveryByteValueReachesTheToolAsItself) {
    for (int byte = 1; byte < 256; ++byte) {
        const char c = static_cast<char>(byte);
        // The byte on both sides of a command that would touch the canary if it ran.
        start_container_named(std::string("a") + c + "touch " + canary_ + c + "z");
        if (HasFatalFailure()) {
            return;
        }
    }
}

TEST_F(Injection, RandomNamesNeverRunASecondCommand) {
    const std::vector<std::string> attempts = {
        "`touch " + canary_ + "`",
        "$(touch " + canary_ + ")",
        ";touch " + canary_,
        "|touch " + canary_,
        "&touch " + canary_,
        "&&touch " + canary_,
        "\ntouch " + canary_,
        ">" + canary_,
        ">>" + canary_,
        "<" + canary_,
        "2>" + canary_,
        ">out",
        " #",
        " ~",
        "~root",
        "*",
        "?",
        "[a-z]",
        "{a,b}",
        "'",
        "\"",
        "\\",
        "$HOME",
        "${PATH}",
        "!",
        "\r",
        "\t",
        " ",
        "%s%n",
        "-n",
    };
    std::mt19937 random(0x5eed);
    std::uniform_int_distribution<int> byte(1, 255);
    std::uniform_int_distribution<std::size_t> attempt(0, attempts.size() - 1);
    std::uniform_int_distribution<int> pieces(0, 24);
    std::uniform_int_distribution<int> kind(0, 2);
    std::uniform_int_distribution<int> percent(0, 99);

    for (int round = 0; round < 2000; ++round) {
        std::string name;
        // A few names run up to and past the length bound.
        const bool long_name = percent(random) < 5;
        if (long_name) {
            name.assign(900 + static_cast<std::size_t>(percent(random)), 'x');
        }
        const int count = pieces(random);
        for (int piece = 0; piece < count; ++piece) {
            if (kind(random) == 0) {
                name += attempts[attempt(random)];
            } else {
                name += static_cast<char>(byte(random));
            }
        }
        if (name.size() > 1023) {
            name.resize(1023);
        }
        start_container_named(name);
        if (HasFatalFailure()) {
            return;
        }
    }
}

}  // namespace
