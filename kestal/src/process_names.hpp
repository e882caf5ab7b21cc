// One-time lookups of the process's program name and the host name.
#pragma once

namespace kestal::process {

// The program name from the "Name:" field of /proc/self/status (at most 255 characters);
// "" when the file or the field is missing. Looked up once per process; the same buffer is
// returned on every call.
const char *program_name() noexcept;

// The host name from gethostname(), looked up once per process; "" after a failure, which
// is reported once in perror form.
const char *host_name() noexcept;

}  // namespace kestal::process
