// The stand-in sudo: runs its command with the caller's own rights, so that tests and the
// demo never need real privileges, and marks the command as started through sudo.
#pragma once

namespace standin {

// Replaces the process with argv[1] and its arguments (found on PATH); returns the exit
// status only when that fails: 1 with the message "sudo: NAME: command not found", as sudo
// itself does.
int run_as_sudo(int argc, char **argv);

}  // namespace standin
