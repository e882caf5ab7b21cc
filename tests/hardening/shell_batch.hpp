// Runs many escaped command lines through one real /bin/sh, in which sudo and the tools are
// shell functions that record the words they receive. The shell's own parsing is what is
// under test: a line whose escaping broke shows up as a missing, extra or altered record, as
// text on standard error, or as a file that a redirection created.
#pragma once

#include "shell_model.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace hardening {

using client_test::ToolCall;

struct BatchOutcome {
    // The tool calls recorded for each line, in the order of the lines.
    std::vector<std::vector<ToolCall>> calls;
    std::size_t tool_calls = 0;     // every recorded call, lines and stray ones
    std::size_t stray_records = 0;  // records before the first line's marker or malformed
    std::string standard_output;
    std::string standard_error;
    int exit_status = -1;
    std::vector<std::string> unexpected_files;  // found in the scratch directory
};

// A scratch directory as the working directory, home and TMPDIR of the shell. It holds a few
// bait files, so that a glob that escaped its escaping matches something.
class ShellBatch {
public:
    // shell runs the lines as /bin/sh would: it is started under the name "sh", so that bash
    // keeps to the POSIX rules as it does when it is the system's /bin/sh.
    explicit ShellBatch(std::filesystem::path directory, std::string shell = "/bin/sh");

    BatchOutcome run(const std::vector<std::string> &lines) const;

    const std::filesystem::path &scratch() const { return scratch_; }

private:
    std::filesystem::path directory_;
    std::filesystem::path scratch_;
    std::string shell_;
};

// The whole contents of a file; "" when it cannot be read.
std::string read_file(const std::filesystem::path &path);

// The names of the bait files in a scratch directory.
const std::vector<std::string> &bait_files();

// Creates the bait files in directory.
void lay_bait(const std::filesystem::path &directory);

// Every entry under directory, recursively, that is not a bait file.
std::vector<std::string> unexpected_files(const std::filesystem::path &directory);

}  // namespace hardening
