// The stateful mode: without a script the stand-ins keep the containers' state themselves,
// in the state directory (state_store.hpp), and answer every command line of the client
// libraries in the forms they read back.
#pragma once

#include "invocation.hpp"

namespace standin {

// Answers the invocation from the state directory; returns the exit status (0, a status
// number 0 to 2 for the status query, or a refusal of 101 and above; see refusal.hpp).
int answer_stateful(const Invocation &invocation);

}  // namespace standin
