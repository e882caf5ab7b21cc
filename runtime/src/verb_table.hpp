// The runtime's verbs, named once: which tools take each verb, its word, the options it
// accepts, the lock it holds on the state directory and the function that does it. Dispatch
// (main.cpp), the usage line and the manual page's test all read this table.
//
// To add a verb: write its handler (void(Command &)) in the file of its subject, declare it in
// verbs.hpp, add its word to contract/zor_contract.h when the client libraries use it, and add
// one entry to the table in verb_table.cpp, with an entry for it in runtime/man/zor-runtime.8.
#pragma once

#include "options.hpp"

#include <string>
#include <vector>

namespace zor {

class Command;

// The tools, as bits of VerbEntry::tools.
enum Tool : unsigned {
    kSystemTool = 1U,       // zor-sys
    kApplicationTool = 2U,  // zor-app
    kTargetTool = 4U,       // zor-target, which takes no verb
};

// The hold a verb takes on the state directory while it runs.
enum class LockKind {
    kNone,       // the handler locks by itself, when it needs to (zor-target)
    kShared,     // reads the records only
    kExclusive,  // may change the records
};

using VerbHandler = void (*)(Command &);

struct VerbEntry {
    unsigned tools;    // Tool bits
    const char *verb;  // the first word; "" for zor-target, which takes none
    // The second words that choose this entry over the verb's other ones ("-g" chooses the
    // control group's create over the container's); empty for the verb's default entry.
    std::vector<std::string> forms;
    // Where the options start among the words (after the verb, and after a limit's kind and
    // value), and the option words the verb accepts.
    std::size_t options_from;
    std::vector<OptionWord> options;
    LockKind lock;
    VerbHandler handler;
};

// Every verb of every tool.
const std::vector<VerbEntry> &verb_table();

// The tool a program name stands for (zor-sys, zor-app, zor-target); 0 for any other.
unsigned tool_named(const std::string &program);

// The entry for the words a tool was given (the verb first); refuses with kUsage a missing
// verb (the line names the tool's verbs) and a verb the tool does not take.
const VerbEntry &entry_for(unsigned tool, const std::vector<std::string> &words);

}  // namespace zor
