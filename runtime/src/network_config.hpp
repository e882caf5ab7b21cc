// A host's network for its containers, one per state directory: network.conf, read strictly,
// and the IPv4 arithmetic its checks need.
#pragma once

#include <cstdint>
#include <string>

namespace zor {

// network.conf beside the state file; the defaults hold when it is absent.
constexpr char kNetworkFile[] = "network.conf";

struct NetworkConfig {
    std::string bridge = "zor0";
    std::uint32_t subnet = 0;  // network address, host byte order
    int prefix = 24;
    std::uint32_t host_address = 0;  // the host's own address on the bridge
    std::uint32_t first = 0;         // the range this host hands to containers
    std::uint32_t last = 0;
    std::string uplink;  // "" when none
    bool nat = true;

    // Whether address lies in the subnet and is neither its network nor broadcast address.
    bool is_usable(std::uint32_t address) const;
};

// Reads directory/network.conf (defaults when absent); refuses with kUsage, naming the file,
// line and fault, anything malformed: an unknown or repeated key, a bad address, a range or
// host address outside the subnet, a bad interface name, nat other than yes or no.
NetworkConfig read_network_config(const std::string &directory);

// Parses dotted-quad text strictly (four decimal parts 0-255, no leading zeros or blanks).
bool parse_ipv4(const std::string &text, std::uint32_t &address_out);
std::string ipv4_text(std::uint32_t address);

// An interface name the kernel takes: 1 to 15 characters of letters, digits, '_', '-', '.',
// not "." or "..".
bool is_interface_name(const std::string &name);

}  // namespace zor
