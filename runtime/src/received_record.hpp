// What a receiver checks in a container's record from another machine before it takes it,
// whoever sent it: the record becomes directory names, cgroup paths and limits here, so it
// passes the same checks as the command line that would have made it.
#pragma once

#include "state_store.hpp"

namespace zor {

// Refuses (kMigrationFailure, saying what) a record whose container, group, snapshot,
// checkpoint or base name fails the command line's name check, whose limits fail those of
// limit and create -m, whose base is neither built in nor a name, whose pids limit is out of
// range, or that is not a complete system container's.
void check_received_record(const Container &record);

}  // namespace zor
