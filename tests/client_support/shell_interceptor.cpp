// The program-wide system(), popen() and pclose().
#include "shell_interceptor.hpp"

#include "test_side.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>

namespace client_test {

namespace {

enum class Mode { kReal, kFake, kFailPopen };

struct State {
    Mode mode = Mode::kReal;
    int wait_status = 0;
    std::string output;
    std::vector<ShellCall> calls;
    std::set<std::FILE *> fake_streams;
};

State &state() {
    static State shared;
    return shared;
}

template <typename Function>
Function real(const char *name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// A stream that yields the output; written through a pipe, so fgets and fclose behave as
// they do on a real command's stream.
std::FILE *stream_of(const std::string &output) {
    int fds[2];
    if (pipe(fds) != 0) {
        return nullptr;
    }
    std::size_t done = 0;
    while (done < output.size()) {
        const ssize_t written = write(fds[1], output.data() + done, output.size() - done);
        if (written <= 0) {
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    close(fds[1]);
    return fdopen(fds[0], "r");
}

}  // namespace

std::vector<ShellCall> shell_calls() {
    return state().calls;
}

void reset_shell() {
    State &shared = state();
    shared.mode = Mode::kReal;
    shared.wait_status = 0;
    shared.output.clear();
    shared.calls.clear();
}

void fake_shell(int wait_status, const std::string &output) {
    State &shared = state();
    shared.mode = Mode::kFake;
    shared.wait_status = wait_status;
    shared.output = output;
}

void fail_popen() {
    state().mode = Mode::kFailPopen;
}

int exited_with(int status) {
    return (status & 0xFF) << 8;
}

int ended_by_signal(int signal) {
    return signal & 0x7F;
}

}  // namespace client_test

using client_test::ShellCall;

extern "C" int system(const char *command) {
    using namespace client_test;
    const TestDoubleScope scope;
    State &shared = state();
    shared.calls.push_back({ShellCall::Kind::kSystem, command != nullptr ? command : "", ""});
    if (shared.mode == Mode::kReal) {
        return real<int (*)(const char *)>("system")(command);
    }
    return shared.wait_status;
}

extern "C" FILE *popen(const char *command, const char *type) {
    using namespace client_test;
    const TestDoubleScope scope;
    State &shared = state();
    shared.calls.push_back(
        {ShellCall::Kind::kPopen, command != nullptr ? command : "", type != nullptr ? type : ""});
    switch (shared.mode) {
    case Mode::kReal:
        return real<FILE *(*)(const char *, const char *)>("popen")(command, type);
    case Mode::kFailPopen:
        return nullptr;
    case Mode::kFake:
        break;
    }
    std::FILE *stream = stream_of(shared.output);
    if (stream != nullptr) {
        shared.fake_streams.insert(stream);
    }
    return stream;
}

extern "C" int pclose(FILE *stream) {
    using namespace client_test;
    const TestDoubleScope scope;
    State &shared = state();
    if (shared.fake_streams.erase(stream) != 0) {
        std::fclose(stream);
        return shared.wait_status;
    }
    return real<int (*)(FILE *)>("pclose")(stream);
}
