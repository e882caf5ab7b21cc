// Moving a system container to another state directory ("machine") over TCP.
//
// The sender connects, sends one frame (a header with the container's name, run state,
// payload length and checksum, then the payload: the container's records) and waits for
// one reply line, "ACCEPTED" or "REFUSED <reason>". The receiver creates the container
// only after the whole frame has arrived and checked out, and replies only once its state
// holds it; the sender removes its own copy only after "ACCEPTED". Whatever breaks in
// between, the container stays where it was.
#pragma once

#include "invocation.hpp"
#include "verbs.hpp"

#include <cstdint>
#include <string>

namespace standin {

// zor-sys migrate -n NAME -d HOST -p PORT, under the lock of the sender's state.
void migrate_verb(Command &command);

// zor-target -n NAME -p PORT: receives one container on 127.0.0.1:PORT; returns the exit
// status (0 once the container is created here and the sender was told).
int receive_container(const Invocation &invocation);

// The frame's checksum: 64-bit FNV-1a.
std::uint64_t frame_checksum(const std::string &payload);

}  // namespace standin
