// The processes registered with an application container: one pair of numbers for each
// "pid,vpid" line of the tool's output, in a list that the caller owns until its release.
#include <zorapp.h>

#include "command_frame.hpp"
#include "handle_arguments.hpp"
#include "name_list.hpp"
#include "registered_pids.hpp"

#include <cstdint>
#include <cstdlib>

namespace zorapp {

namespace {

using frame::name_of;
constexpr char kPidListPrefix[] = "sudo zor-app pidlist -n ";

using PairList = frame::EntryList<zor_app_pid_pair>;

// One signed decimal number after optional white space, cut to 32 bits; false when there
// are no digits. end receives the first character after the number.
bool read_number(const char *text, std::int32_t &number, const char *&end) noexcept {
    char *after = nullptr;
    const long value = std::strtol(text, &after, 10);
    if (after == text) {
        return false;
    }
    number =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long>(value)));
    end = after;
    return true;
}

// A pair line: a number, a comma right after it, a second number; the rest is ignored.
bool read_pair(const char *line, zor_app_pid_pair &pair) noexcept {
    const char *end = nullptr;
    if (!read_number(line, pair.pid, end) || *end != ',') {
        return false;
    }
    return read_number(end + 1, pair.vpid, end);
}

}  // namespace

int read_registered_pids(std::FILE *stream, zor_app_pid_pair ***list) noexcept {
    frame::OutputLines lines(stream, nullptr);
    PairList pairs;
    for (frame::OutputLine line{}; lines.next(line);) {
        zor_app_pid_pair pair{};
        // A line that is no pair (a header, say) adds nothing.
        if (read_pair(line.text, pair) && !pairs.add_copy(pair)) {
            return frame::kMissing;  // the pairs are freed on the way out
        }
    }
    *list = pairs.release();
    return 0;
}

}  // namespace zorapp

extern "C" {

int zor_app_get_registered_pid_list(zor_app_handle *handle, zor_app_pid_pair ***list) noexcept {
    using namespace zorapp;
    if (list == nullptr) {
        return frame::kMissing;
    }
    frame::Command command(kPidListPrefix);
    command.add(frame::text(name_of(handle)));
    frame::Pipe pipe(command);
    if (!pipe.is_open()) {
        return pipe.result().code;
    }
    // On failure the pipe closes on the way out.
    const int read = read_registered_pids(pipe.stream(), list);
    if (read != 0) {
        return read;
    }
    // The tool's exit status says nothing about the list: what it printed is the list.
    pipe.close();
    return 0;
}

int zor_app_release_registered_pid_list(zor_app_pid_pair **list) noexcept {
    using namespace zorapp;
    return frame::release_entries(list, frame::EmptyArray::kFreed);
}

}  // extern "C"
