// The callback table: one slot per signal number, read by the relay thread.
#pragma once

#include <kestal.h>

namespace kestal::termination {

// The record in the slot of signo (1 to SIGRTMAX), or null.
kestal_termination_callback *callback_slot(int signo) noexcept;
// Stores record (or null) in the slot of signo and returns what was there.
kestal_termination_callback *exchange_slot(int signo, kestal_termination_callback *record) noexcept;
// True while at least one slot holds a record.
bool any_registered() noexcept;

}  // namespace kestal::termination
