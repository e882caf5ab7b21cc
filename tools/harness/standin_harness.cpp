// The stand-in session: temporary directory, environment, script and record.
#include "standin_harness.hpp"

#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#ifndef STANDIN_TOOLS_DIRECTORY
#error "the build defines STANDIN_TOOLS_DIRECTORY, the folder of the stand-in tools"
#endif

namespace standin {

Answer exits(int status) {
    Answer answer;
    answer.exit_status = status;
    return answer;
}

Answer prints(std::string out, int status) {
    Answer answer;
    answer.out = std::move(out);
    answer.exit_status = status;
    return answer;
}

Answer killed_by(int signal) {
    Answer answer;
    answer.signal = signal;
    return answer;
}

Answer repeats(std::string out, long count, int status) {
    Answer answer = prints(std::move(out), status);
    answer.repeat = count;
    return answer;
}

Answer hangs(std::string pid_file) {
    Answer answer;
    answer.hang_file = std::move(pid_file);
    return answer;
}

std::string Session::tools_directory() {
    return STANDIN_TOOLS_DIRECTORY;
}

Session::Session() {
    const char *temporary = std::getenv("TMPDIR");
    std::string pattern =
        std::string(temporary != nullptr && temporary[0] != '\0' ? temporary : "/tmp") +
        "/standin-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    directory_ = pattern;
    script_ = directory_ / "script";
    record_ = directory_ / "record";
    std::ofstream(script_).flush();
    const char *path = std::getenv("PATH");
    set_variable("PATH", tools_directory() + ":" + (path != nullptr ? path : "/usr/bin:/bin"));
    set_variable(kScriptVariable, script_.string());
    set_variable(kRecordVariable, record_.string());
}

Session::~Session() {
    for (auto saved = saved_.rbegin(); saved != saved_.rend(); ++saved) {
        if (saved->was_set) {
            setenv(saved->name.c_str(), saved->value.c_str(), 1);
        } else {
            unsetenv(saved->name.c_str());
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

void Session::set_variable(const char *name, const std::string &value) {
    const char *old = std::getenv(name);
    saved_.push_back({name, old != nullptr, old != nullptr ? old : ""});
    setenv(name, value.c_str(), 1);
}

void Session::set_path(const std::string &path) {
    set_variable("PATH", path);
}

void Session::script(const std::string &program, const std::string &verb, const Answer &answer) {
    std::ofstream(script_, std::ios::app) << script_line(program, verb, answer) << '\n';
}

std::vector<Invocation> Session::invocations() const {
    std::vector<Invocation> invocations;
    std::ifstream record(record_);
    for (std::string line; std::getline(record, line);) {
        Invocation invocation;
        if (!parse_record_line(line, invocation)) {
            throw std::runtime_error("not a record line: " + line);
        }
        invocations.push_back(std::move(invocation));
    }
    return invocations;
}

void Session::clear_record() {
    std::error_code ignored;
    std::filesystem::remove(record_, ignored);
}

}  // namespace standin
