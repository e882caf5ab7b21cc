// One run of a stand-in tool: which program was asked, whether sudo started it, its words.
#pragma once

#include <string>
#include <vector>

namespace standin {

// Set by the stand-in sudo for the program it starts, so that the record shows the way in.
constexpr char kViaSudoVariable[] = "ZOR_STANDIN_VIA_SUDO";
// Where every invocation is appended, one line each; nothing is recorded when unset.
constexpr char kRecordVariable[] = "ZOR_STANDIN_RECORD";
// The script that answers invocations; without it a stand-in refuses.
constexpr char kScriptVariable[] = "ZOR_STANDIN_SCRIPT";

struct Invocation {
    std::string program;            // zor-sys, zor-app or zor-target
    bool via_sudo = false;          // started by the stand-in sudo
    std::vector<std::string> args;  // argv[1] onwards, exactly as received
};

// The invocation of this process; reads and clears the sudo marker.
Invocation current_invocation(int argc, char **argv);

// One record line: program, "sudo" or "direct", then each argument, fields separated by
// single blanks and percent-encoded.
std::string record_line(const Invocation &invocation);

// Parses a record line; false when it is not one.
bool parse_record_line(const std::string &line, Invocation &invocation);

// Appends the invocation to the record file named by kRecordVariable, if it is set. One
// write() of the whole line on an O_APPEND descriptor keeps concurrent records whole.
void append_record(const Invocation &invocation);

}  // namespace standin
