// Every operation of both client libraries that takes caller text, with the command lines it
// is meant to run: each entry calls the operation with a case's texts and numbers and says,
// independently of the libraries, which commands (before escaping, without the suffix) that
// call composes, and how each is run.
#pragma once

#include "shell_model.hpp"

#include <zorsys.h>

#include <functional>
#include <string>
#include <vector>

namespace hardening {

// How a command reaches the shell.
enum class RunMode {
    kSystem,      // system(), with the suffix
    kPopenLine,   // popen(), the first line read
    kPopenList,   // popen(), every line a name
    kPopenPairs,  // popen(), every "pid,vpid" line a pair
};

// A position of an operation that takes caller text.
struct Position {
    const char *label;  // "name", "snapshot", "cgroup", ...
    bool optional;      // may be null (a handle may be missing, an option left out)
};

// The arguments of one call: a text per position (used only where present), and the numbers.
struct Case {
    std::vector<std::string> texts;
    std::vector<bool> present;
    int number = 0;  // port, process number, option value
    int type = 0;    // resource type 1 to 4, or a configuration's type
};

struct ExpectedCommand {
    client_test::CommandLine text;  // the composed command, unescaped, without the suffix
    RunMode mode;
};

struct Operation {
    const char *name;
    std::vector<Position> positions;
    // Picks the case's type from a random number (resource kinds, configuration types).
    std::function<int(unsigned)> type_of;
    // Calls the operation; returns its result code (open: 0 with a handle, -202 without).
    std::function<int(const Case &)> call;
    // The commands the call composes, in order; empty for an operation that runs nothing.
    std::function<std::vector<ExpectedCommand>(const Case &)> commands;
};

// Every operation of libzorsys and libzorapp that takes caller text or runs a command.
const std::vector<Operation> &operation_table();

// The result of an open that returned no handle.
constexpr int kNoHandle = ZOR_SYS_ETOOLONG;

}  // namespace hardening
