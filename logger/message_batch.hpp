// Joining of zor-logger's message words into log messages.
#pragma once

#include <cstddef>

namespace zor_logger {

// Words are joined by single blanks while the joined text stays within one log message
// (1023 characters); a word that cannot fit a message of its own joining is sent alone.
// Words keep their order; an empty batch is never sent.
class MessageBatch {
public:
    using Sink = void (*)(const char *message, void *context);

    MessageBatch(Sink sink, void *context) noexcept : sink_(sink), context_(context) {}

    void add(const char *word) noexcept;
    void flush() noexcept;

    static constexpr std::size_t kBufferSize = 1024;

private:
    Sink sink_;
    void *context_;
    char buffer_[kBufferSize] = {};
    std::size_t length_ = 0;
};

}  // namespace zor_logger
