#include "app_fixture.hpp"

#include <cstdlib>
#include <cstring>

namespace zorapp_test {

zor_app_handle *make_handle(const std::string &name, std::int32_t type) {
    auto *handle = static_cast<zor_app_handle *>(std::malloc(sizeof(zor_app_handle)));
    handle->type = type;
    handle->name = static_cast<char *>(std::malloc(name.size() + 1));
    std::memcpy(handle->name, name.c_str(), name.size() + 1);
    return handle;
}

void free_handle(zor_app_handle *handle) {
    if (handle != nullptr) {
        std::free(handle->name);
        std::free(handle);
    }
}

std::vector<std::string> commands() {
    std::vector<std::string> texts;
    for (const client_test::ShellCall &call : client_test::shell_calls()) {
        texts.push_back(call.command);
    }
    return texts;
}

void expect_one_line(int priority, const std::string &function, const std::string &message) {
    const std::vector<client_test::LogLine> lines = client_test::logged_lines();
    ASSERT_EQ(lines.size(), 1u) << message;
    EXPECT_EQ(lines[0].priority, priority) << message;
    EXPECT_EQ(lines[0].file, "libzorapp");
    EXPECT_GT(lines[0].line, 0);
    EXPECT_EQ(lines[0].function, function);
    EXPECT_EQ(lines[0].message, message);
}

void expect_no_line() {
    const std::vector<client_test::LogLine> lines = client_test::logged_lines();
    EXPECT_TRUE(lines.empty()) << lines.front().message;
}

void AppTest::SetUp() {
    client_test::reset_shell();
    client_test::clear_logged_lines();
}

void AppTest::TearDown() {
    client_test::reset_shell();
    for (zor_app_handle *made : handles_) {
        free_handle(made);
    }
}

zor_app_handle *AppTest::handle(const std::string &name, std::int32_t type) {
    handles_.push_back(make_handle(name, type));
    return handles_.back();
}

}  // namespace zorapp_test
