// The command frame: composing, escaping and running one command, and mapping its status.
#include "command_frame.hpp"

#include <sys/wait.h>

#include <cstdlib>
#include <cstring>

namespace ZOR_FRAME_NAMESPACE::frame {

namespace {

// The characters that get a backslash. Besides the quoting, expansion, globbing and command
// characters, this holds the backquote, "&", "<", ">", "#" and "~": left live they would
// start a command substitution, a background command or a redirection, or change the words
// the tool receives.
constexpr char kEscapeSet[] = "\\\"$@'()^|[]{};*?`&<>#~";

// A newline cannot be escaped with a backslash (that joins lines), so it is quoted instead.
constexpr char kQuotedNewline[] = "'\n'";
constexpr std::size_t kQuotedNewlineLength = sizeof kQuotedNewline - 1;

// The exit status that the shell reports for a command ended by a signal is 128 plus it.
constexpr int kSignalBase = 128;
constexpr int kFailedWait = -255;

// One entry per byte value, so that the escaping costs a load per character instead of a
// scan of the set.
struct EscapeTable {
    bool escaped[256];
};

constexpr EscapeTable make_escape_table() noexcept {
    EscapeTable table{};
    for (const char *at = kEscapeSet; *at != '\0'; ++at) {
        table.escaped[static_cast<unsigned char>(*at)] = true;
    }
    return table;
}

constexpr EscapeTable kEscapeTable = make_escape_table();

bool is_escaped(char c) noexcept {
    return kEscapeTable.escaped[static_cast<unsigned char>(c)];
}

}  // namespace

int escape_within(char *destination, const char *source, std::size_t max_length) noexcept {
    if (source == nullptr || destination == nullptr) {
        return kMissing;
    }
    std::size_t length = 0;
    for (const char *at = source; *at != '\0'; ++at) {
        const std::size_t needed = *at == '\n' ? kQuotedNewlineLength : is_escaped(*at) ? 2 : 1;
        if (length + needed > max_length) {
            destination[0] = '\0';
            return kTooLong;
        }
        if (*at == '\n') {
            std::memcpy(destination + length, kQuotedNewline, kQuotedNewlineLength);
        } else if (needed == 2) {
            destination[length] = '\\';
            destination[length + 1] = *at;
        } else {
            destination[length] = *at;
        }
        length += needed;
    }
    destination[length] = '\0';
    return 0;
}

int escape_meta_char(char *destination, const char *source) noexcept {
    return escape_within(destination, source, kMaxLength);
}

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

Command::Command(const char *prefix) noexcept : text_{}, length_(0), refusal_(0) {
    add(frame::text(prefix));
}

Command &Command::add(const Piece &piece) noexcept {
    if (refusal_ != 0) {
        return *this;
    }
    switch (piece.kind) {
    case Piece::Kind::kSkip:
        break;
    case Piece::Kind::kAbsent:
        refusal_ = kMissing;
        break;
    case Piece::Kind::kText:
        if (piece.flag[0] == '\0') {
            append(piece.text, std::strlen(piece.text));
            break;
        }
        [[fallthrough]];
    case Piece::Kind::kNumber: {
        // The option buffer bounds the formatted option as the command buffer bounds the
        // command: an option that does not fit refuses the command like any long piece.
        char option_text[kBufferSize];
        const int written =
            piece.kind == Piece::Kind::kNumber
                ? std::snprintf(option_text, sizeof option_text, "%s%d", piece.flag, piece.number)
                : std::snprintf(option_text, sizeof option_text, "%s%s", piece.flag, piece.text);
        if (written < 0 || static_cast<std::size_t>(written) > kMaxLength) {
            refusal_ = kTooLong;
            break;
        }
        append(option_text, static_cast<std::size_t>(written));
        break;
    }
    }
    return *this;
}

void Command::append(const char *piece, std::size_t piece_length) noexcept {
    if (length_ + piece_length > kMaxLength) {
        refusal_ = kTooLong;
        return;
    }
    std::memcpy(text_ + length_, piece, piece_length);
    length_ += piece_length;
    text_[length_] = '\0';
}

int Command::escape_into(char *run, std::size_t reserve) const noexcept {
    if (refusal_ != 0) {
        run[0] = '\0';
        return refusal_;
    }
    return escape_within(run, text_, kMaxLength - reserve);
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
