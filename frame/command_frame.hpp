// The command frame: every container operation of a client library composes one bounded
// command line for an administration tool, escaping each caller text as one shell word, runs
// it and turns the wait status into its result code. Operations describe only what is their own
// (prefix, pieces, how the command runs, the texts of their outcome lines, see outcome_line.hpp).
//
// Both client libraries compile this frame, each into a namespace of its own
// (ZOR_FRAME_NAMESPACE::frame, see frame_settings.hpp), and their archives keep every symbol
// of it local, so the copies never meet each other or an application's own names.
#pragma once

#include "frame_settings.hpp"

#include <cstddef>
#include <cstdio>

namespace ZOR_FRAME_NAMESPACE::frame {

// Every command, escaped command, option and output line fits one of these buffers.
constexpr std::size_t kBufferSize = 1024;
constexpr std::size_t kMaxLength = kBufferSize - 1;

// The library's own result codes: ZOR_SYS_EMISSING / ZOR_APP_EMISSING and ZOR_SYS_ETOOLONG /
// ZOR_APP_ETOOLONG of the public headers, which each library holds equal to these when it
// compiles.
constexpr int kMissing = -201;  // an argument or output location is missing, a pipe failed
constexpr int kTooLong = -202;  // a command, option or escaped command would not fit

// Sends the tool's output to the null device; only commands run with system() carry it.
constexpr char kSuffix[] = " > /dev/null 2>&1";
constexpr std::size_t kSuffixLength = sizeof kSuffix - 1;

// Escapes one caller text as exactly one shell word and writes it into destination, which
// holds kBufferSize bytes: every shell metacharacter, blank and tab get a backslash, a newline
// becomes a quoted literal (a backslash would join lines), and the empty text becomes '' (an
// empty word), so that the tool receives the text itself as one argument whatever it holds.
// Returns 0; kTooLong when the result would exceed kMaxLength characters (destination then
// holds ""); kMissing when either pointer is null (destination untouched).
int escape_meta_char(char *destination, const char *source) noexcept;

// Like escape_meta_char, with the result limited to at most max_length characters.
int escape_within(char *destination, const char *source, std::size_t max_length) noexcept;

// The result code of a wait status: 0 for exit status 0, -n for exit status n, -(128 + n)
// for a shell ended by signal n (the shell's own convention; the command did not succeed),
// and -255 when system() or pclose() itself failed (-1).
int result_of_wait_status(int wait_status) noexcept;

// One piece of a command, appended after the prefix. Build pieces with the functions below.
// The frame's own text (the prefix, option flags, numbers) keeps its blanks as separators;
// every caller text becomes exactly one word of the escaped command.
struct Piece {
    enum class Kind { kSkip, kFixed, kText, kNumber, kAbsent };
    Kind kind;
    const char *flag;  // frame text that precedes the value, such as " -m "; "" for none
    const char *text;
    int number;
};

// The library's own text, such as a prefix or an option word, appended as it is; a null
// text refuses with kMissing.
constexpr Piece fixed(const char *value) noexcept {
    return value != nullptr ? Piece{Piece::Kind::kFixed, "", value, 0}
                            : Piece{Piece::Kind::kAbsent, "", nullptr, 0};
}

// A caller text appended as one word, such as the container name; a null text refuses with
// kMissing.
constexpr Piece text(const char *value) noexcept {
    return value != nullptr ? Piece{Piece::Kind::kText, "", value, 0}
                            : Piece{Piece::Kind::kAbsent, "", nullptr, 0};
}

// An option: its flag directly followed by the caller's value as one word (" -b " and
// "base1" give " -b base1", what the format " -b %s" gives). A null text refuses with
// kMissing.
constexpr Piece option(const char *flag, const char *value) noexcept {
    return value != nullptr ? Piece{Piece::Kind::kText, flag, value, 0}
                            : Piece{Piece::Kind::kAbsent, flag, nullptr, 0};
}

// A numeric option, the value written in decimal (" -m %d").
constexpr Piece option(const char *flag, int value) noexcept {
    return Piece{Piece::Kind::kNumber, flag, nullptr, value};
}

// The piece when the condition holds, nothing otherwise.
constexpr Piece when(bool condition, Piece piece) noexcept {
    return condition ? piece : Piece{Piece::Kind::kSkip, "", nullptr, 0};
}

// Refuses the command with kMissing when a required argument is null; appends nothing.
constexpr Piece required(const void *argument) noexcept {
    return Piece{argument != nullptr ? Piece::Kind::kSkip : Piece::Kind::kAbsent, "", nullptr, 0};
}

// A command being composed, twice in step: as the caller's texts read (the command buffer,
// which the length rule bounds; an empty text counts 0 there) and escaped for the shell (the
// run text, each caller text one word). Every append obeys the length rule: a piece that
// would make the composed command exceed kMaxLength characters is not appended and refuses
// the command with kTooLong. The first refusal sticks; later appends do nothing. An escaped
// command that outgrows its buffer refuses with kTooLong only when it is taken for running,
// so that a missing argument after it still reads as missing, as with one escaping pass.
class Command {
public:
    explicit Command(const char *prefix) noexcept;
    Command(const Command &) = delete;
    Command &operator=(const Command &) = delete;

    Command &add(const Piece &piece) noexcept;

    // 0 while the command may run; kMissing or kTooLong once it was refused.
    int refusal() const noexcept { return refusal_; }
    // The composed command, the texts as given.
    const char *text() const noexcept { return text_; }
    std::size_t length() const noexcept { return length_; }

    // Copies the escaped command into run (kBufferSize bytes), keeping room for reserve more
    // characters after it. Returns 0 or the refusal code (kTooLong when the escaped command
    // and reserve exceed kMaxLength); run is "" after a refusal.
    int escape_into(char *run, std::size_t reserve) const noexcept;

private:
    void append(const char *piece, std::size_t piece_length) noexcept;
    void append_escaped(const char *piece, std::size_t piece_length) noexcept;
    void append_word(const char *word) noexcept;

    char text_[kBufferSize];
    char escaped_[kBufferSize];
    std::size_t length_;
    std::size_t escaped_length_;
    bool escaped_overflow_;
    int refusal_;
};

// What running a command gave. refused is true when the command never reached the shell
// because composing or escaping it failed; code is then the refusal code.
struct Result {
    int code;
    bool refused;
};

// Appends the suffix to the escaped command and runs it with system(); the result code comes
// from the wait status. The suffix, the frame's own text, keeps its meaning for the shell.
Result run_system(const Command &command) noexcept;

// A command started with popen() in mode "r", for operations that read the tool's output.
// Closing it (explicitly, or when it goes out of scope) waits for the command.
class Pipe {
public:
    // Escapes and starts the command. When it was refused, or popen() failed (kMissing),
    // the pipe is not open and result() says why.
    explicit Pipe(const Command &command) noexcept;
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;
    ~Pipe();

    bool is_open() const noexcept { return stream_ != nullptr; }
    // The command's output stream while the pipe is open, else null. The pipe keeps it.
    std::FILE *stream() const noexcept { return stream_; }
    // Before close: the refusal or start failure, or {0, false} while the pipe is open.
    Result result() const noexcept { return {code_, refused_}; }

    // Reads the next line, at most kMaxLength characters and its newline when shorter, into
    // line (kBufferSize bytes). False at the end of the output, line then unchanged.
    bool read_line(char *line) noexcept;

    // Closes the stream with pclose() and returns the result code of its wait status; a pipe
    // that never opened returns its start result.
    int close() noexcept;

private:
    std::FILE *stream_;
    int code_;
    bool refused_;
};

// Runs the command through a pipe and reads the first line of its output into line
// (kBufferSize bytes; "" when the tool printed nothing). The result code is that of the
// command's wait status; further output is not read.
Result run_reading_first_line(const Command &command, char *line) noexcept;

}  // namespace ZOR_FRAME_NAMESPACE::frame
