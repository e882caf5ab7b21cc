// What the runtime adds to a host's network for its containers, through iproute2 and nftables: the
// bridge with the host's address (and the uplink in it), one nftables table per bridge (published
// ports, masquerading), a veth pair per running container, and the gratuitous ARP that announces a
// container that arrived.
//
// What it leaves on the host, and how to take it away (the bridge zor0 by default):
//   ip link del zor0                    the bridge (containers' veths go with their netns)
//   nft delete table ip zor_zor0        published ports, masquerading, forwarding
// and the sysctls net.ipv4.ip_forward=1 and net.ipv4.conf.zor0.route_localnet=1.
#pragma once

#include "network_config.hpp"

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace zor {

// What the createRuntime hook needs to give a container its eth0.
struct VethPlan {
    std::string bridge;
    std::string host_end;  // the host's end of the pair
    std::string address;   // A.B.C.D/N
    std::string gateway;   // the host's address on the bridge
    std::string mac;
    // The host end stays down until the caller brings it up: a restore's sockets come back
    // only after the hook, and a peer's packet that reached eth0 before them would be answered
    // with a reset.
    bool held = false;
};

// The host end's name of a container's pair: derived from its folder, so that every host
// and state directory names it alike and a stopped container's leftover is found again.
std::string host_end_name(const std::string &container_directory);

// The hook's words after its own, and back; refuses (kUsage) words of another shape.
std::vector<std::string> veth_plan_words(const VethPlan &plan);
VethPlan veth_plan_from_words(const std::vector<std::string> &words);

// Makes the bridge with the host's address and the uplink in it, and the nftables table,
// when they are missing; sets forwarding on. Refuses with kHostFailure.
void ensure_host_network(const NetworkConfig &config);

// From the hook, on start and restore alike: makes the pair, moves eth0 into pid's network
// namespace with its address, MAC and default route, and puts the host end on the bridge, up
// unless the plan holds it.
// Refuses with kHostFailure.
void connect_container(pid_t pid, const VethPlan &plan);

// Takes the host end of a container's pair down (true) or up again: a frozen container that
// is being moved must neither take nor answer a packet meanwhile.
void set_host_end_up(const std::string &host_end, bool up);
// Deletes the pair, if it exists: the container's eth0 goes with it at once, so that programs
// killed afterwards send nothing to their peers.
void delete_host_end(const std::string &host_end);

// Adds or removes the published ports (host port, container port) to address in the
// bridge's table. Adding refuses with kHostFailure; removing ignores what is missing.
void publish_ports(const NetworkConfig &config, const std::string &address,
                   const std::vector<std::pair<int, int>> &ports);
void unpublish_ports(const NetworkConfig &config, const std::vector<std::pair<int, int>> &ports);

// Whether something on this host (in this network namespace) holds TCP port on any address.
bool is_tcp_port_taken(int port);

// Sends a gratuitous ARP for address at mac from eth0 of pid's network namespace, so that
// the segment's switches and neighbours find the container where it is now.
void announce_address(pid_t pid, const std::string &mac, const std::string &address);

}  // namespace zor
