// One shell per batch of command lines.
#include "shell_batch.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <cstdio>
#include <stdexcept>

namespace hardening {

namespace {

// The tools exist only as aliases for recording functions; "sudo " ends in a blank, so the
// word after it is looked up as an alias too. Records go to descriptor 3, which no command
// line redirects: fields end with NUL, "K" starts a line's marker, "T" a call (sudo or
// direct), "A" each word, "E" ends the call.
constexpr char kPreamble[] = R"(alias sudo='_sudo '
alias zor-sys='_record direct zor-sys'
alias zor-app='_record direct zor-app'
alias zor-target='_record direct zor-target'
_record() { printf 'T%s\0' "$1" >&3; shift; printf 'A%s\0' "$@" >&3; printf 'E\0' >&3; }
_sudo() {
  if [ "$1" = _record ] && [ "$2" = direct ]; then shift 2; _record sudo "$@"
  else printf 'sudo: unexpected %s\n' "$1" >&2; fi
}
_line() { printf 'K%s\0' "$1" >&3; }
)";

// Puts fd at target for the program that the child starts (dup2 alone leaves a descriptor
// that already is target close-on-exec).
bool move_to(int fd, int target) {
    if (fd == target) {
        return fcntl(fd, F_SETFD, 0) == 0;
    }
    return dup2(fd, target) == target;
}

int open_output(const std::filesystem::path &path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

void parse_records(const std::string &record, std::size_t lines, BatchOutcome &outcome) {
    outcome.calls.assign(lines, {});
    std::size_t start = 0;
    long line = -1;
    ToolCall *call = nullptr;
    std::vector<ToolCall> stray;
    while (start < record.size()) {
        const std::size_t end = record.find('\0', start);
        if (end == std::string::npos) {
            ++outcome.stray_records;
            break;
        }
        const std::string field = record.substr(start, end - start);
        start = end + 1;
        const char kind = field.empty() ? '\0' : field[0];
        const std::string value = field.empty() ? "" : field.substr(1);
        if (kind == 'K') {
            line = std::stol(value);
            call = nullptr;
        } else if (kind == 'T') {
            ++outcome.tool_calls;
            std::vector<ToolCall> &into = line >= 0 && static_cast<std::size_t>(line) < lines
                                              ? outcome.calls[static_cast<std::size_t>(line)]
                                              : stray;
            into.push_back(ToolCall{value == "sudo", {}});
            call = &into.back();
        } else if (kind == 'A' && call != nullptr) {
            call->words.push_back(value);
        } else if (kind == 'E' && call != nullptr) {
            call = nullptr;
        } else {
            ++outcome.stray_records;
        }
    }
    outcome.stray_records += stray.size();
}

}  // namespace

std::string read_file(const std::filesystem::path &path) {
    std::string text;
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return text;
    }
    char block[65536];
    std::size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) {
        text.append(block, got);
    }
    std::fclose(file);
    return text;
}

const std::vector<std::string> &bait_files() {
    static const std::vector<std::string> kBait = {"bait-a", "bait-b", "x"};
    return kBait;
}

void lay_bait(const std::filesystem::path &directory) {
    for (const std::string &name : bait_files()) {
        std::ofstream(directory / name).flush();
    }
}

std::vector<std::string> unexpected_files(const std::filesystem::path &directory) {
    std::vector<std::string> found;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(directory)) {
        const std::string relative = entry.path().lexically_relative(directory).string();
        if (std::find(bait_files().begin(), bait_files().end(), relative) == bait_files().end()) {
            found.push_back(relative);
        }
    }
    return found;
}

ShellBatch::ShellBatch(std::filesystem::path directory, std::string shell)
    : directory_(std::move(directory)), scratch_(directory_ / "scratch"), shell_(std::move(shell)) {
    std::filesystem::create_directories(scratch_);
    lay_bait(scratch_);
}

BatchOutcome ShellBatch::run(const std::vector<std::string> &lines) const {
    const std::filesystem::path script = directory_ / "batch.sh";
    const std::filesystem::path record = directory_ / "record";
    const std::filesystem::path out = directory_ / "stdout";
    const std::filesystem::path err = directory_ / "stderr";
    {
        std::ofstream file(script, std::ios::binary);
        file << kPreamble;
        for (std::size_t index = 0; index < lines.size(); ++index) {
            file << "_line " << index << '\n' << lines[index] << '\n';
        }
    }

    const int record_fd = open_output(record);
    const int out_fd = open_output(out);
    const int err_fd = open_output(err);
    if (record_fd < 0 || out_fd < 0 || err_fd < 0) {
        throw std::runtime_error("cannot open the batch's output files");
    }
    const std::string home = "HOME=" + scratch_.string();
    const std::string temporary = "TMPDIR=" + scratch_.string();
    const pid_t child = fork();
    if (child == 0) {
        // No program exists for the shell: every tool is a function, anything else fails.
        char path[] = "PATH=/nonexistent";
        char *environment[] = {path, const_cast<char *>(home.c_str()),
                               const_cast<char *>(temporary.c_str()), nullptr};
        char name[] = "sh";
        char *arguments[] = {name, const_cast<char *>(script.c_str()), nullptr};
        if (chdir(scratch_.c_str()) != 0 || !move_to(out_fd, 1) || !move_to(err_fd, 2) ||
            !move_to(record_fd, 3)) {
            _exit(126);
        }
        const int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd < 0 || dup2(null_fd, 0) < 0) {
            _exit(126);
        }
        execve(shell_.c_str(), arguments, environment);
        _exit(127);
    }
    close(record_fd);
    close(out_fd);
    close(err_fd);
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }

    BatchOutcome outcome;
    outcome.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    parse_records(read_file(record), lines.size(), outcome);
    outcome.standard_output = read_file(out);
    outcome.standard_error = read_file(err);
    outcome.unexpected_files = unexpected_files(scratch_);
    return outcome;
}

}  // namespace hardening
