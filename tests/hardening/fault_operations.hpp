// Operations of both libraries chosen to cover every way a command runs (system(); popen()
// reading one line, with and without its exit status examined; popen() reading a listing of
// names; popen() reading a list of pairs), with what each returns when its tool fails in a
// given way.
#pragma once

#include "operation_table.hpp"

#include <functional>
#include <string>
#include <vector>

namespace hardening {

// What one call gave back.
struct Observed {
    int code = 0;                // result code; open: 0 with a handle, -201 without
    bool list_untouched = true;  // listings: the caller's pointer kept its value
    std::size_t entries = 0;     // listings: entries of the list returned
    long value = 0;              // getpid: the number stored; open: the handle's type
};

struct FaultOperation {
    const char *name;
    const char *program;  // zor-sys, zor-app or zor-target
    const char *verb;     // what the script answers ("*": any invocation)
    RunMode mode;
    bool via_sudo;
    bool status_query;  // exit statuses up to 100 are a status number
    bool reads_status;  // popen() operations that examine the status pclose() reports
    std::function<Observed()> call;
};

const std::vector<FaultOperation> &fault_operations();

// The result code when the shell that ran the operation's command exited with status (the
// tool's own status, 128 + n for a tool ended by signal n, 127 for a command not found).
// Open: 0 when the failing command is its type query, which never fails the open.
int expected_code(const FaultOperation &operation, int exit_status);

// A pointer value no listing ever stores, to see that a failed listing left it alone.
template <typename T>
T **untouched_marker() {
    static T *marker[1] = {nullptr};
    return marker;
}

}  // namespace hardening
