// The command frame's running: system() or popen(), and the wait status as a result code.
#include "command_frame.hpp"

#include <sys/wait.h>

#include <cstdlib>
#include <cstring>

namespace ZOR_FRAME_NAMESPACE::frame {

namespace {

// The exit status that the shell reports for a command ended by a signal is 128 plus it.
constexpr int kSignalBase = 128;
constexpr int kFailedWait = -255;

}  // namespace

int result_of_wait_status(int wait_status) noexcept {
    if (wait_status == -1) {
        return kFailedWait;
    }
    if (WIFEXITED(wait_status)) {
        return -WEXITSTATUS(wait_status);
    }
    if (WIFSIGNALED(wait_status)) {
        return -(kSignalBase + WTERMSIG(wait_status));
    }
    return kFailedWait;
}

Result run_system(const Command &command) noexcept {
    if (command.refusal() != 0) {
        return {command.refusal(), true};
    }
    // The length rule for the suffix as the last piece.
    if (command.length() + kSuffixLength > kMaxLength) {
        return {kTooLong, true};
    }
    char run[kBufferSize] = {};
    const int escaped = command.escape_into(run, kSuffixLength);
    if (escaped != 0) {
        return {escaped, true};
    }
    std::strcat(run, kSuffix);
    return {result_of_wait_status(std::system(run)), false};
}

Pipe::Pipe(const Command &command) noexcept : stream_(nullptr), code_(0), refused_(false) {
    char run[kBufferSize] = {};
    const int escaped = command.escape_into(run, 0);
    if (escaped != 0) {
        code_ = escaped;
        refused_ = true;
        return;
    }
    stream_ = popen(run, "r");
    if (stream_ == nullptr) {
        code_ = kMissing;
    }
}

Pipe::~Pipe() {
    if (stream_ != nullptr) {
        pclose(stream_);
    }
}

bool Pipe::read_line(char *line) noexcept {
    if (stream_ == nullptr) {
        return false;
    }
    return std::fgets(line, static_cast<int>(kBufferSize), stream_) != nullptr;
}

int Pipe::close() noexcept {
    if (stream_ == nullptr) {
        return code_;
    }
    const int wait_status = pclose(stream_);
    stream_ = nullptr;
    code_ = result_of_wait_status(wait_status);
    return code_;
}

Result run_reading_first_line(const Command &command, char *line) noexcept {
    line[0] = '\0';
    Pipe pipe(command);
    if (!pipe.is_open()) {
        return pipe.result();
    }
    if (!pipe.read_line(line)) {
        line[0] = '\0';
    }
    return {pipe.close(), false};
}

}  // namespace ZOR_FRAME_NAMESPACE::frame
