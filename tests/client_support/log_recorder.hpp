// A recording double of kestal_log: test programs of the client libraries link it instead
// of libkestal, and read back every outcome line with all that the call passed.
#pragma once

#include <string>
#include <vector>

namespace client_test {

struct LogLine {
    int priority;
    std::string file;
    int line;
    std::string function;
    std::string format;
    std::string message;  // the format filled with its arguments
};

std::vector<LogLine> logged_lines();
void clear_logged_lines();

}  // namespace client_test
