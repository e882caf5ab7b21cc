// The fixture of the operation tests: the shell answered by the test, handles as
// zor_sys_open makes them, the commands that reached the shell and the outcome lines.
#pragma once

#include <zorsys.h>

#include "log_recorder.hpp"
#include "shell_interceptor.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace zorsys_test {

constexpr char kSuffix[] = " > /dev/null 2>&1";

class Operations : public ::testing::Test {
protected:
    void SetUp() override {
        client_test::reset_shell();
        client_test::clear_logged_lines();
    }
    void TearDown() override {
        client_test::reset_shell();
        for (zor_sys_handle *handle : handles_) {
            std::free(handle->name);
            std::free(handle);
        }
    }

    // A handle that the fixture releases at the end of the test.
    zor_sys_handle *handle(const std::string &name, std::int32_t type = 0) {
        auto *made = static_cast<zor_sys_handle *>(std::malloc(sizeof(zor_sys_handle)));
        made->type = type;
        made->name = static_cast<char *>(std::malloc(name.size() + 1));
        std::memcpy(made->name, name.c_str(), name.size() + 1);
        handles_.push_back(made);
        return made;
    }

    static std::vector<std::string> commands() {
        std::vector<std::string> texts;
        for (const client_test::ShellCall &call : client_test::shell_calls()) {
            texts.push_back(call.command);
        }
        return texts;
    }

    static void expect_one_line(int priority, const std::string &function,
                                const std::string &message) {
        const std::vector<client_test::LogLine> lines = client_test::logged_lines();
        ASSERT_EQ(lines.size(), 1u) << message;
        EXPECT_EQ(lines[0].priority, priority);
        EXPECT_EQ(lines[0].file, "libzorsys");
        EXPECT_GT(lines[0].line, 0);
        EXPECT_EQ(lines[0].function, function);
        EXPECT_EQ(lines[0].message, message);
    }

    static void expect_nothing_ran_or_logged() {
        EXPECT_TRUE(client_test::shell_calls().empty());
        EXPECT_TRUE(client_test::logged_lines().empty());
    }

private:
    std::vector<zor_sys_handle *> handles_;
};

}  // namespace zorsys_test
