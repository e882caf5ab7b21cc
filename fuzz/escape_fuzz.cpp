// Escaping of a command line for the shell (zorsys' copy of the command frame).
//
// Properties, for every input (the bytes up to the first NUL are the source):
// - escape_meta_char gives exactly what the model below gives, byte by byte, or refuses with
//   -202 and leaves "" when the model's text would exceed 1023 characters;
// - escape_within keeps to a bound taken from the input's hash, in a destination of exactly
//   bound + 1 bytes (AddressSanitizer sees any byte written past it);
// - a Command made of a prefix and the source obeys the length rule and escapes like the model.
// For one input in 64 (chosen by the input's hash, so a reproduction runs the same check;
// KESTAL_FUZZ_SHELL_SHARE=n makes it one in n, 1 every input, 0 none), /bin/sh runs printf '%s\0'
// followed by the escaped source and must print exactly one word: the source itself.
#include "command_frame.hpp"
#include "fuzz_support.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern char **environ;

namespace {

namespace frame = zorsys::frame;

constexpr std::uint32_t kDefaultShellShare = 64;
constexpr char kShellPrefix[] = "printf '%s\\0' ";

// The model: each byte on its own. These get a backslash; a newline becomes the quoted
// newline '\n'; every other byte passes unchanged; the empty text becomes ''.
bool gets_backslash(unsigned char c) {
    switch (c) {
    case '\\':
    case '"':
    case '$':
    case '@':
    case '\'':
    case '(':
    case ')':
    case '^':
    case '|':
    case '[':
    case ']':
    case '{':
    case '}':
    case ';':
    case '*':
    case '?':
    case '`':
    case '&':
    case '<':
    case '>':
    case '#':
    case '~':
    case ' ':
    case '\t':
        return true;
    default:
        return false;
    }
}

struct Escaped {
    int code;
    std::string text;
};

Escaped model(const std::string &source, std::size_t bound) {
    std::string text = source.empty() ? "''" : "";
    for (const char c : source) {
        if (c == '\n') {
            text += "'\n'";
            continue;
        }
        if (gets_backslash(static_cast<unsigned char>(c))) {
            text += '\\';
        }
        text += c;
    }
    if (text.size() > bound) {
        return {frame::kTooLong, ""};
    }
    return {0, text};
}

// Runs /bin/sh -c command and returns what it printed; false when it did not exit with 0.
// The wait status of /bin/sh -c command, with what it printed in printed. libFuzzer's
// once-a-second alarm for -timeout has no SA_RESTART, so both read and waitpid are retried when
// it interrupts them: taking an interrupted read for the end of the output would close the pipe
// under the shell and kill it with SIGPIPE.
int run_shell(const std::string &command, std::string &printed) {
    int fds[2];
    fuzz::require(pipe(fds) == 0, "pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::string arg0 = "sh";
    std::string arg1 = "-c";
    std::string arg2 = command;
    char *argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
    pid_t child = 0;
    const int spawned = posix_spawn(&child, "/bin/sh", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    fuzz::require(spawned == 0, "posix_spawn /bin/sh");
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(fds[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        fuzz::require(got >= 0, "read the shell's output");
        if (got == 0) {
            break;
        }
        printed.append(chunk, static_cast<std::size_t>(got));
    }
    close(fds[0]);
    int status = 0;
    pid_t waited = 0;
    while ((waited = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
    }
    fuzz::require(waited == child, "waitpid");
    return status;
}

std::uint32_t shell_share() {
    const char *setting = std::getenv("KESTAL_FUZZ_SHELL_SHARE");
    if (setting == nullptr || *setting == '\0') {
        return kDefaultShellShare;
    }
    return static_cast<std::uint32_t>(std::strtoul(setting, nullptr, 10));
}

void check_null_arguments() {
    char destination[frame::kBufferSize];
    std::memset(destination, 'x', sizeof destination);
    fuzz::require(frame::escape_meta_char(destination, nullptr) == frame::kMissing,
                  "a missing source gives -201");
    fuzz::require(destination[0] == 'x', "a missing source leaves the destination untouched");
    fuzz::require(frame::escape_meta_char(nullptr, "a") == frame::kMissing,
                  "a missing destination gives -201");
}

void check_shell_split(const std::string &source, const std::string &escaped) {
    std::string printed;
    const int status = run_shell(kShellPrefix + escaped, printed);
    if (WIFSIGNALED(status)) {
        std::fprintf(stderr, "the shell was killed by signal %d\n", WTERMSIG(status));
    } else if (WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "the shell exited with status %d\n", WEXITSTATUS(status));
    }
    fuzz::require(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the shell runs the command");
    // One word, the source itself, whatever it holds ('' gives the empty word).
    const std::string expected = source + '\0';
    fuzz::require(printed == expected, "the shell receives the escaped text as the source alone");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const bool checked_null_arguments = (check_null_arguments(), true);
    (void)checked_null_arguments;
    static const std::uint32_t share = shell_share();

    const std::string source = fuzz::c_string_of(data, size);
    const std::uint32_t hash = fuzz::hash_of(data, size);

    // The frame's own routine, into a heap buffer of exactly kBufferSize bytes.
    const std::unique_ptr<char[]> destination(new char[frame::kBufferSize]);
    std::memset(destination.get(), 'x', frame::kBufferSize);
    const int code = frame::escape_meta_char(destination.get(), source.c_str());
    const Escaped expected = model(source, frame::kMaxLength);
    fuzz::require(code == expected.code, "escape_meta_char's result equals the model's");
    fuzz::require(expected.text == destination.get(), "escape_meta_char's text equals the model's");

    // A bound of the input's choosing, in a destination that has no byte to spare.
    const std::size_t bound = (hash >> 8) % frame::kBufferSize;
    const std::unique_ptr<char[]> tight(new char[bound + 1]);
    const int tight_code = frame::escape_within(tight.get(), source.c_str(), bound);
    const Escaped tight_expected = model(source, bound);
    fuzz::require(tight_code == tight_expected.code, "escape_within's result equals the model's");
    fuzz::require(tight_expected.text == tight.get(), "escape_within's text equals the model's");

    // The length rule and the escaping of a composed command, with room kept for the suffix.
    const std::string prefix = "zor-sys start -n ";
    frame::Command command(prefix.c_str());
    command.add(frame::text(source.c_str()));
    const bool fits = prefix.size() + source.size() <= frame::kMaxLength;
    fuzz::require(command.refusal() == (fits ? 0 : frame::kTooLong), "the length rule");
    char run[frame::kBufferSize];
    const int run_code = command.escape_into(run, frame::kSuffixLength);
    Escaped run_expected =
        fits ? model(source, frame::kMaxLength - frame::kSuffixLength - prefix.size())
             : Escaped{frame::kTooLong, ""};
    if (run_expected.code == 0) {
        run_expected.text.insert(0, prefix);
    }
    fuzz::require(run_code == run_expected.code, "a command's escaping result equals the model's");
    fuzz::require(run_expected.text == run, "a command's escaped text equals the model's");

    if (code == 0 && share != 0 && hash % share == 0) {
        check_shell_split(source, destination.get());
    }
    return 0;
}
