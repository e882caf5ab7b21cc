// Answering an invocation from a test's script.
#include "scripted_mode.hpp"

#include "descriptor_write.hpp"
#include "encoding.hpp"

#include <csignal>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace standin {

namespace {

constexpr char kAnyVerb[] = "*";

struct ScriptEntry {
    std::string program;
    std::string verb;
    Answer answer;
};

bool parse_entry(const std::string &line, ScriptEntry &entry) {
    const std::vector<std::string> fields = split_fields(line);
    if (fields.size() < 2 || line.empty() || line[0] == '#') {
        return false;
    }
    entry.program = decode(fields[0]);
    entry.verb = decode(fields[1]);
    for (std::size_t index = 2; index < fields.size(); ++index) {
        const std::string &field = fields[index];
        if (starts_with(field, "exit=")) {
            entry.answer.exit_status =
                static_cast<int>(std::strtol(field.c_str() + 5, nullptr, 10));
        } else if (starts_with(field, "signal=")) {
            entry.answer.signal = static_cast<int>(std::strtol(field.c_str() + 7, nullptr, 10));
        } else if (starts_with(field, "out=")) {
            entry.answer.out = decode(field.substr(4));
        } else if (starts_with(field, "err=")) {
            entry.answer.err = decode(field.substr(4));
        } else if (starts_with(field, "out-file=")) {
            entry.answer.out_file = decode(field.substr(9));
        } else if (starts_with(field, "repeat=")) {
            entry.answer.repeat = std::strtol(field.c_str() + 7, nullptr, 10);
        } else if (starts_with(field, "hang=")) {
            entry.answer.hang_file = decode(field.substr(5));
        }
    }
    return true;
}

// The verbs an invocation answers to, the longest first.
std::vector<std::string> verbs_of(const Invocation &invocation) {
    std::vector<std::string> verbs;
    const std::vector<std::string> &args = invocation.args;
    if (args.size() >= 2 && starts_with(args[1], "--")) {
        verbs.push_back(args[0] + " " + args[1]);
    }
    if (!args.empty()) {
        verbs.push_back(args[0]);
    }
    verbs.emplace_back(kAnyVerb);
    return verbs;
}

// Prints out repeat times, or endlessly for 0. A real tool whose reader goes away dies of
// SIGPIPE, whatever the disposition its parent left it.
void write_repeated(const std::string &out, long repeat) {
    if (repeat == 1 || out.empty()) {
        write_all(STDOUT_FILENO, out);
        return;
    }
    std::signal(SIGPIPE, SIG_DFL);
    for (long done = 0; repeat == 0 || done < repeat; ++done) {
        if (!write_all(STDOUT_FILENO, out)) {
            return;
        }
    }
}

// Tells the test which process to kill (and which process started it), then waits for it;
// gives up after the limit.
void hang(const std::string &pid_file) {
    { std::ofstream(pid_file + ".part") << getpid() << ' ' << getppid() << '\n'; }
    // Renamed into place, so the test never reads a half-written number.
    std::rename((pid_file + ".part").c_str(), pid_file.c_str());
    for (int second = 0; second < kHangLimitSeconds; ++second) {
        sleep(1);
    }
}

// Streams the file in blocks, so that large outputs (listings of many lines) need no memory.
void copy_to_stdout(const std::string &path) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        std::perror(path.c_str());
        return;
    }
    char block[8192];
    std::size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) {
        write_all(STDOUT_FILENO, std::string_view(block, got));
    }
    std::fclose(file);
}

}  // namespace

std::string script_line(const std::string &program, const std::string &verb, const Answer &answer) {
    std::string line = encode(program) + ' ' + encode(verb);
    line += " exit=" + std::to_string(answer.exit_status);
    if (answer.signal != 0) {
        line += " signal=" + std::to_string(answer.signal);
    }
    if (!answer.out.empty()) {
        line += " out=" + encode(answer.out);
    }
    if (!answer.err.empty()) {
        line += " err=" + encode(answer.err);
    }
    if (!answer.out_file.empty()) {
        line += " out-file=" + encode(answer.out_file);
    }
    if (answer.repeat != 1) {
        line += " repeat=" + std::to_string(answer.repeat);
    }
    if (!answer.hang_file.empty()) {
        line += " hang=" + encode(answer.hang_file);
    }
    return line;
}

int answer_scripted(const Invocation &invocation, const char *script_path) {
    std::ifstream script(script_path);
    if (!script) {
        std::fprintf(stderr, "%s: cannot read the script %s\n", invocation.program.c_str(),
                     script_path);
        return 2;
    }
    std::vector<ScriptEntry> entries;
    for (std::string line; std::getline(script, line);) {
        ScriptEntry entry;
        if (parse_entry(line, entry) && entry.program == invocation.program) {
            entries.push_back(std::move(entry));
        }
    }

    Answer answer;
    bool found = false;
    for (const std::string &verb : verbs_of(invocation)) {
        for (auto entry = entries.rbegin(); entry != entries.rend() && !found; ++entry) {
            if (entry->verb == verb) {
                answer = entry->answer;
                found = true;
            }
        }
        if (found) {
            break;
        }
    }

    write_repeated(answer.out, answer.repeat);
    if (!answer.out_file.empty()) {
        copy_to_stdout(answer.out_file);
    }
    write_all(STDERR_FILENO, answer.err);
    if (!answer.hang_file.empty()) {
        hang(answer.hang_file);
        return kHangGaveUp;
    }
    if (answer.signal != 0) {
        std::signal(answer.signal, SIG_DFL);
        std::raise(answer.signal);
    }
    return answer.exit_status;
}

}  // namespace standin
