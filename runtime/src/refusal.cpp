// The line a refusal prints.
#include "refusal.hpp"

#include <system_error>
#include <utility>

namespace zor {

Refusal::Refusal(int status, std::string message, int error_number)
    : status_(status), error_number_(error_number), message_(std::move(message)), line_(message_) {
    if (error_number_ != 0) {
        line_ += ": " + std::generic_category().message(error_number_);
    }
}

Refusal::Refusal(int status, const Refusal &cause, std::string note)
    : status_(status),
      error_number_(0),
      message_(std::move(note)),
      cause_(std::make_shared<const Refusal>(cause)),
      line_(cause.what()) {
    if (!message_.empty()) {
        line_ += "; " + message_;
    }
}

int Refusal::error_number() const {
    for (const Refusal *at = this; at != nullptr; at = at->cause()) {
        if (at->error_number_ != 0) {
            return at->error_number_;
        }
    }
    return 0;
}

}  // namespace zor
