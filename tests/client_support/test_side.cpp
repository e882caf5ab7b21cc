// The per-thread marker of test-double work.
#include "test_side.hpp"

namespace client_test {

namespace {
thread_local int double_depth = 0;
}  // namespace

bool in_test_double() noexcept {
    return double_depth > 0;
}

TestDoubleScope::TestDoubleScope() noexcept {
    ++double_depth;
}

TestDoubleScope::~TestDoubleScope() {
    --double_depth;
}

}  // namespace client_test
