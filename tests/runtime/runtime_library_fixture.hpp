// The fixture of the client libraries' tests against the real runtime: a fresh runtime state,
// every shell call passed through to the runtime's tools, and no failure line logged unless
// the test says it expects one.
#pragma once

#include "log_recorder.hpp"
#include "real_runtime_fixture.hpp"
#include "shell_interceptor.hpp"

#include <gtest/gtest.h>

namespace runtime_test {

class RuntimeLibraryTest : public real_runtime::RealRuntimeTest {
protected:
    void SetUp() override {
        RealRuntimeTest::SetUp();
        client_test::reset_shell();
        client_test::clear_logged_lines();
    }

    void TearDown() override {
        for (const client_test::LogLine &line : client_test::logged_lines()) {
            if (line.priority == 3 && !failures_expected_) {
                ADD_FAILURE() << "failure line: " << line.message;
            }
        }
        RealRuntimeTest::TearDown();
    }

    bool failures_expected_ = false;
};

}  // namespace runtime_test
