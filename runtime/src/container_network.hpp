// A container's place on its host's network: what create records (address, MAC, published
// ports, or none), and the narrow steps that start, stop, restart and migration take for it.
#pragma once

#include "host_network.hpp"
#include "state_store.hpp"

#include <sys/types.h>

#include <string>

namespace zor {

class Command;
class ContainerRef;
class Host;

// Whether key is a container key of the network in a -f file (address, network, publish).
bool is_network_key(const std::string &key);
// Takes one such line into the record; refuses (kUsage) a malformed value.
void read_network_key(const std::string &key, const std::string &value, Container &container);

// At create, before anything is made: reads network.conf and gives the container its address
// (the one asked for, or the first free one of the range) and a MAC of its own. Refuses an
// address outside the subnet (kUsage) or in use (kExists), and a host port published here
// already or held on this host (kPortTaken).
void plan_container_network(Command &command, Container &container);

// Why this host cannot take a container with record's network (a migration's receiver), or
// "" when it can: an address outside the subnet or in use here.
std::string network_refusal(const std::string &directory, const State &state,
                            const Container &record);

// Before runc makes or restores the container: re-reads network.conf, refuses host ports that
// are held now, makes the bridge and table when missing, and publishes the ports.
void prepare_container_network(const Host &host, const Container &container);
// What the bundle's hook is told (empty words for a container without a network); held keeps
// the container off the segment until hold_container_network lets it on.
std::vector<std::string> container_hook_words(const ContainerRef &reference,
                                              const Container &container, bool held);
// After a restore: announces the address on the segment, so that peers and switches find the
// container where it runs now.
void announce_container(const Container &container, pid_t pid);
// Takes the container off the segment at once (its pair deleted) and its ports away.
void release_container_network(const ContainerRef &reference, const Container &container);
// While a container is dumped to move: off the segment (true), or back on it.
void hold_container_network(const ContainerRef &reference, const Container &container, bool held);

}  // namespace zor
