// The fixture of the client libraries' tests against the stand-in runtime: a fresh runtime
// state, every shell call passed through to the stand-ins, and no failure line logged unless
// the test says it expects one.
#pragma once

#include "log_recorder.hpp"
#include "shell_interceptor.hpp"
#include "standin_harness.hpp"

#include <gtest/gtest.h>

namespace runtime_test {

class RuntimeLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        client_test::reset_shell();
        client_test::clear_logged_lines();
        tools_.use_runtime();
    }

    void TearDown() override {
        for (const client_test::LogLine &line : client_test::logged_lines()) {
            if (line.priority == 3 && !failures_expected_) {
                ADD_FAILURE() << "failure line: " << line.message;
            }
        }
    }

    standin::Session tools_;
    bool failures_expected_ = false;
};

}  // namespace runtime_test
