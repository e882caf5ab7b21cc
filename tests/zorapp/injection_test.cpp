// No text that reaches a libzorapp command can make the shell do more than run the tool with
// that text as one word: for every byte value and for a thousand random texts built from bytes
// and injection attempts, each of several operations, in the name, snapshot, group and image
// positions and on both the system() and the popen() path, gives the stand-in exactly the
// expected words, runs no other command (a canary file and the working directory prove it)
// and never hands the shell more than 1023 characters.
#include <zorapp.h>

#include "log_recorder.hpp"
#include "shell_interceptor.hpp"
#include "shell_model.hpp"
#include "standin_harness.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

constexpr std::size_t kSuffixLength = sizeof " > /dev/null 2>&1" - 1;

using client_test::escaped_length;

// One operation with the tested text in one of its positions.
struct Target {
    const char *name;
    std::size_t fixed_length;  // the command's length without the text (and the suffix)
    bool suffix;               // run with system()
    Words words_before;        // what the tool receives before the text's words
    std::function<int(const std::string &)> run;
};

char web[] = "web";

std::vector<Target> targets() {
    return {
        {"start",
         sizeof "sudo zor-app start -n " - 1,
         true,
         {"start", "-n"},
         [](const std::string &text) {
             zor_app_handle handle{1, const_cast<char *>(text.c_str())};
             return zor_app_start(&handle);
         }},
        {"save",
         sizeof "sudo zor-app save -n web -t " - 1,
         true,
         {"save", "-n", "web", "-t"},
         [](const std::string &text) {
             zor_app_handle handle{1, web};
             return zor_app_save_snapshot(&handle, text.c_str());
         }},
        {"create cgroup",
         sizeof "sudo zor-app create -c " - 1,
         true,
         {"create", "-c"},
         [](const std::string &text) { return zor_app_create_cgroup(nullptr, text.c_str()); }},
        {"remove base",
         sizeof "sudo zor-app remove --base " - 1,
         true,
         {"remove", "--base"},
         [](const std::string &text) { return zor_app_remove_base(text.c_str()); }},
        {"usage",
         sizeof "sudo zor-app usage --cpu -g " - 1,
         false,
         {"usage", "--cpu", "-g"},
         [](const std::string &text) {
             zor_app_resource resource{};
             resource.type = 1;
             return zor_app_get_resource(nullptr, 0, text.c_str(), &resource);
         }},
    };
}

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

    void pass(const Target &target, const std::string &text) {
        tools_.clear_record();
        client_test::reset_shell();
        client_test::clear_logged_lines();
        const int code = target.run(text);

        const std::size_t length =
            target.fixed_length + escaped_length(text) + (target.suffix ? kSuffixLength : 0);
        const std::vector<standin::Invocation> invocations = tools_.invocations();
        const std::string shown = std::string(target.name) + ": " + testing::PrintToString(text);
        if (length <= 1023) {
            ASSERT_EQ(code, 0) << shown;
            ASSERT_EQ(invocations.size(), 1u) << shown;
            Words expected = target.words_before;
            expected.push_back(text);
            EXPECT_EQ(invocations[0].program, "zor-app") << shown;
            EXPECT_EQ(invocations[0].args, expected) << shown;
            EXPECT_TRUE(invocations[0].via_sudo);
        } else {
            ASSERT_EQ(code, ZOR_APP_ETOOLONG) << target.name << ": " << text.size();
            EXPECT_TRUE(invocations.empty());
        }
        for (const client_test::ShellCall &call : client_test::shell_calls()) {
            EXPECT_LE(call.command.size(), 1023u);
        }
        ASSERT_FALSE(std::filesystem::exists(canary_)) << shown;
        for (const auto &entry : std::filesystem::directory_iterator(tools_.directory())) {
            const std::string file = entry.path().filename().string();
            ASSERT_TRUE(file == "script" || file == "record")
                << "a redirection wrote " << file << " for " << shown;
        }
    }

    standin::Session tools_;
    std::string canary_;
    std::filesystem::path previous_directory_;
};

TEST_F(Injection, EveryByteValueReachesTheToolAsItselfInEveryPosition) {
    for (const Target &target : targets()) {
        for (int byte = 1; byte < 256; ++byte) {
            const char c = static_cast<char>(byte);
            // The byte on both sides of a command that would touch the canary if it ran.
            pass(target, std::string("a") + c + "touch " + canary_ + c + "z");
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

TEST_F(Injection, RandomTextsNeverRunASecondCommand) {
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
    const std::vector<Target> all = targets();
    std::mt19937 random(0xa99);
    std::uniform_int_distribution<int> byte(1, 255);
    std::uniform_int_distribution<std::size_t> attempt(0, attempts.size() - 1);
    std::uniform_int_distribution<std::size_t> target(0, all.size() - 1);
    std::uniform_int_distribution<int> pieces(0, 24);
    std::uniform_int_distribution<int> kind(0, 2);
    std::uniform_int_distribution<int> percent(0, 99);

    for (int round = 0; round < 1000; ++round) {
        std::string text;
        // A few texts run up to and past the length bound.
        if (percent(random) < 5) {
            text.assign(900 + static_cast<std::size_t>(percent(random)), 'x');
        }
        const int count = pieces(random);
        for (int piece = 0; piece < count; ++piece) {
            if (kind(random) == 0) {
                text += attempts[attempt(random)];
            } else {
                text += static_cast<char>(byte(random));
            }
        }
        if (text.size() > 1023) {
            text.resize(1023);
        }
        pass(all[target(random)], text);
        if (HasFatalFailure()) {
            return;
        }
    }
}

}  // namespace
