// Marks work that the test doubles do on behalf of the code under test (recording a log
// line, faking a pipe), so that the heap accounting can leave it out.
#pragma once

namespace client_test {

// True while the current thread runs inside a test double.
bool in_test_double() noexcept;

class TestDoubleScope {
public:
    TestDoubleScope() noexcept;
    ~TestDoubleScope();
    TestDoubleScope(const TestDoubleScope &) = delete;
    TestDoubleScope &operator=(const TestDoubleScope &) = delete;
};

}  // namespace client_test
