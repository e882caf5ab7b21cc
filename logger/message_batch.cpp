// Joining of zor-logger's message words into log messages.
#include "message_batch.hpp"

#include <cstring>

namespace zor_logger {

void MessageBatch::add(const char *word) noexcept {
    const std::size_t word_length = std::strlen(word);
    // Room for the word, the joining blank and the terminator.
    if (length_ > 0 && length_ + word_length > kBufferSize - 2) {
        flush();
    }
    if (word_length > kBufferSize - 1) {
        sink_(word, context_);
        return;
    }
    if (length_ > 0) {
        buffer_[length_++] = ' ';
    }
    std::memcpy(buffer_ + length_, word, word_length + 1);
    length_ += word_length;
}

void MessageBatch::flush() noexcept {
    if (length_ == 0) {
        return;
    }
    sink_(buffer_, context_);
    length_ = 0;
    buffer_[0] = '\0';
}

}  // namespace zor_logger
