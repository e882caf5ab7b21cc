// Refusals keep their status, errno and cause apart until the edge prints them, and a scope
// guard undoes a step exactly when the command fails after it. No root needed.
#include "refusal.hpp"
#include "scope_guard.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>

namespace {

TEST(RuntimeRefusal, WrappingKeepsTheCauseWhole) {
    const zor::Refusal cause(zor::kStateFailure, "cannot write 'x'", ENOSPC);
    EXPECT_EQ(std::string(cause.what()), "cannot write 'x': No space left on device");
    EXPECT_EQ(cause.message(), "cannot write 'x'");
    const zor::Refusal wrapped(zor::kMigrationFailure, cause, "the container runs here as before");
    EXPECT_EQ(wrapped.status(), zor::kMigrationFailure);
    EXPECT_EQ(wrapped.error_number(), ENOSPC);
    ASSERT_NE(wrapped.cause(), nullptr);
    EXPECT_EQ(wrapped.cause()->status(), zor::kStateFailure);
    EXPECT_EQ(std::string(wrapped.what()),
              "cannot write 'x': No space left on device; the container runs here as before");
    const zor::Refusal bare(zor::kMigrationFailure, cause);
    EXPECT_STREQ(bare.what(), cause.what());
    EXPECT_EQ(zor::Refusal(zor::kUsage, "plain").error_number(), 0);
}

TEST(RuntimeRefusal, GuardUndoesOnlyWhatFailed) {
    int undone = 0;
    const auto step = [&](bool fail, bool undo_throws) {
        zor::ScopeGuard guard([&] {
            ++undone;
            if (undo_throws) {
                throw zor::Refusal(zor::kHostFailure, "undo failed");
            }
        });
        if (fail) {
            throw zor::Refusal(zor::kWrongState, "step failed");
        }
        guard.dismiss();
    };
    step(false, false);
    EXPECT_EQ(undone, 0);
    try {
        step(true, true);
        ADD_FAILURE() << "the step's refusal was lost";
    } catch (const zor::Refusal &refusal) {
        // The step's refusal comes through, not the undoing's.
        EXPECT_EQ(refusal.status(), zor::kWrongState);
    }
    EXPECT_EQ(undone, 1);
}

}  // namespace
