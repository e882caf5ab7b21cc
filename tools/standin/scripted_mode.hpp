// The scripted mode: a test writes, per program and verb, the answer that a stand-in gives.
//
// Script file: one answer per line, "<program> <verb> <field>...", fields separated by
// single blanks and percent-encoded. The verb is the first argument ("start"), the first
// argument and a following "--" option ("list --base"), or "*" for any invocation. Fields:
// exit=N (exit status, default 0), signal=N (end by that signal instead), out=TEXT and
// err=TEXT (printed on standard output and standard error), out-file=PATH (a file whose
// contents are printed after out), repeat=N (out printed N times, 0 for endlessly until the
// reader goes away: the tool then dies of SIGPIPE), hang=PATH (after printing, write the
// process number and its parent's to PATH and wait until killed; after kHangLimitSeconds the
// stand-in gives up and exits with kHangGaveUp, so a failed test leaves no process behind). The
// longest matching verb wins; among lines with the same verb the last one does. An invocation that
// no line answers succeeds and prints nothing.
#pragma once

#include "invocation.hpp"

#include <string>

namespace standin {

struct Answer {
    int exit_status = 0;
    int signal = 0;  // 0: exit normally
    std::string out;
    std::string err;
    std::string out_file;
    long repeat = 1;          // times out is printed; 0: endlessly
    std::string hang_file{};  // where the pids go before the stand-in waits to be killed
};

constexpr int kHangLimitSeconds = 60;
constexpr int kHangGaveUp = 124;

// The script line that gives answer to program for verb.
std::string script_line(const std::string &program, const std::string &verb, const Answer &answer);

// Answers the invocation from the script at script_path; returns the exit status (or does
// not return, when the answer is a signal).
int answer_scripted(const Invocation &invocation, const char *script_path);

}  // namespace standin
