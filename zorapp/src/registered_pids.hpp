// Reading the registered-pid list from the tool's output.
#pragma once

#include <zorapp.h>

#include <cstdio>

namespace zorapp {

// Makes one pid pair of every "pid,vpid" line of stream (optional white space and a signed
// decimal number, a comma right after it, a second number; the rest of the line ignored);
// other lines add nothing. Stores the array (null when no line was a pair) in *list and
// returns 0; -201, with *list as it was, when memory runs out. The caller keeps and closes
// stream.
int read_registered_pids(std::FILE *stream, zor_app_pid_pair ***list) noexcept;

}  // namespace zorapp
