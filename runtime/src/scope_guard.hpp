// Undo on scope exit: a step that makes something the command must take away again when a
// later step fails arms a guard with the undoing, and dismisses it once the command has
// succeeded. The undoing runs while an exception unwinds, so it must not throw: a refusal it
// meets is dropped, since the refusal that is unwinding says more.
#pragma once

#include <exception>
#include <utility>

namespace zor {

template <typename Undo>
class ScopeGuard {
public:
    explicit ScopeGuard(Undo undo) : undo_(std::move(undo)) {}
    ~ScopeGuard() {
        if (armed_) {
            try {
                undo_();
            } catch (const std::exception &) {
                // The refusal that is unwinding, or the step's own outcome, says more.
            }
        }
    }
    ScopeGuard(const ScopeGuard &) = delete;
    ScopeGuard &operator=(const ScopeGuard &) = delete;

    // The step succeeded: nothing is undone.
    void dismiss() { armed_ = false; }

private:
    Undo undo_;
    bool armed_ = true;
};

}  // namespace zor
