// A container's address, MAC and published ports: chosen and checked when it is made or
// received, put in place by the bundle's hook and the host network module.
#include "container_network.hpp"

#include "refusal.hpp"
#include "verbs.hpp"

#include <sys/random.h>

#include <cstdio>
#include <set>

namespace zor {

namespace {

constexpr int kMaxPort = 65535;

int checked_port(const std::string &text, const std::string &what) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos || text[0] == '0') {
        throw Refusal(kUsage, what + " '" + text + "' is not a port number, 1 to 65535");
    }
    const int port = std::stoi(text);
    if (port > kMaxPort) {
        throw Refusal(kUsage, what + " '" + text + "' is not a port number, 1 to 65535");
    }
    return port;
}

// Every address and host port that the containers of this state hold, but the one named
// skip in its own domain.
void collect_taken(const State &state, const Container *skip, std::set<std::uint32_t> &addresses,
                   std::set<int> &ports) {
    for (const Domain *domain : {&state.system, &state.application}) {
        for (const auto &entry : domain->containers) {
            const Container &other = entry.second;
            if (&other == skip) {
                continue;
            }
            std::uint32_t address = 0;
            if (other.network && parse_ipv4(other.address, address)) {
                addresses.insert(address);
            }
            for (const auto &port : other.published) {
                ports.insert(port.first);
            }
        }
    }
}

std::string random_mac() {
    unsigned char bytes[6] = {};
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        throw Refusal(kHostFailure, "cannot draw a MAC address");
    }
    // Locally administered, unicast.
    bytes[0] = static_cast<unsigned char>((bytes[0] & 0xfe) | 0x02);
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1], bytes[2],
                  bytes[3], bytes[4], bytes[5]);
    return text;
}

std::string address_fault(const NetworkConfig &config, const std::string &text) {
    std::uint32_t address = 0;
    if (!parse_ipv4(text, address) || !config.is_usable(address) ||
        address == config.host_address) {
        return "address " + text + " is not a container address of the subnet " +
               ipv4_text(config.subnet) + "/" + std::to_string(config.prefix);
    }
    return "";
}

}  // namespace

bool is_network_key(const std::string &key) {
    return key == "address" || key == "network" || key == "publish";
}

void read_network_key(const std::string &key, const std::string &value, Container &container) {
    if (key == "network") {
        if (value != "none") {
            throw Refusal(kUsage, "network must be none, not '" + value + "'");
        }
        container.network = false;
    } else if (key == "address") {
        std::uint32_t address = 0;
        if (!container.address.empty() || !parse_ipv4(value, address)) {
            throw Refusal(kUsage, "address '" + value + "' is not one A.B.C.D");
        }
        container.address = value;
    } else {
        const std::size_t colon = value.find(':');
        if (colon == std::string::npos) {
            throw Refusal(kUsage, "publish '" + value + "' is not HOSTPORT:PORT");
        }
        const int host = checked_port(value.substr(0, colon), "host port");
        const int port = checked_port(value.substr(colon + 1), "port");
        for (const auto &published : container.published) {
            if (published.first == host) {
                throw Refusal(kUsage, "host port " + std::to_string(host) + " is published twice");
            }
        }
        container.published.emplace_back(host, port);
    }
}

void plan_container_network(Command &command, Container &container) {
    if (!container.network) {
        if (!container.address.empty() || !container.published.empty()) {
            throw Refusal(kUsage,
                          "a container with network=none has no address and publishes "
                          "no port");
        }
        return;
    }
    const NetworkConfig config = read_network_config(command.host.directory());
    std::set<std::uint32_t> addresses;
    std::set<int> ports;
    collect_taken(command.state, nullptr, addresses, ports);
    addresses.insert(config.host_address);
    if (!container.address.empty()) {
        const std::string fault = address_fault(config, container.address);
        if (!fault.empty()) {
            throw Refusal(kUsage, fault);
        }
        std::uint32_t address = 0;
        parse_ipv4(container.address, address);
        if (addresses.count(address) != 0) {
            throw Refusal(kExists, "address " + container.address + " is in use");
        }
    } else {
        std::uint32_t address = config.first;
        while (address <= config.last && addresses.count(address) != 0) {
            ++address;
        }
        if (address > config.last) {
            throw Refusal(kExists, "no address of the range is free");
        }
        container.address = ipv4_text(address);
    }
    for (const auto &port : container.published) {
        if (ports.count(port.first) != 0 || is_tcp_port_taken(port.first)) {
            throw Refusal(kPortTaken,
                          "host port " + std::to_string(port.first) + " is taken on this host");
        }
    }
    container.mac = random_mac();
}

std::string network_refusal(const std::string &directory, const State &state,
                            const Container &record) {
    if (!record.network) {
        return "";
    }
    try {
        const NetworkConfig config = read_network_config(directory);
        const std::string fault = address_fault(config, record.address);
        if (!fault.empty()) {
            return fault + " here";
        }
    } catch (const Refusal &refusal) {
        return refusal.what();
    }
    std::set<std::uint32_t> addresses;
    std::set<int> ports;
    collect_taken(state, nullptr, addresses, ports);
    std::uint32_t address = 0;
    parse_ipv4(record.address, address);
    return addresses.count(address) != 0 ? "address " + record.address + " is in use here" : "";
}

void prepare_container_network(const Host &host, const Container &container) {
    if (!container.network) {
        return;
    }
    const NetworkConfig config = read_network_config(host.directory());
    for (const auto &port : container.published) {
        if (is_tcp_port_taken(port.first)) {
            throw Refusal(kPortTaken,
                          "host port " + std::to_string(port.first) + " is taken on this host");
        }
    }
    ensure_host_network(config);
    publish_ports(config, container.address, container.published);
}

std::vector<std::string> container_hook_words(const ContainerRef &reference,
                                              const Container &container, bool held) {
    if (!container.network) {
        return {};
    }
    const NetworkConfig config = read_network_config(reference.host().directory());
    VethPlan plan;
    plan.bridge = config.bridge;
    plan.host_end = host_end_name(reference.directory());
    plan.address = container.address + "/" + std::to_string(config.prefix);
    plan.gateway = ipv4_text(config.host_address);
    plan.mac = container.mac;
    plan.held = held;
    return veth_plan_words(plan);
}

void announce_container(const Container &container, pid_t pid) {
    if (container.network) {
        announce_address(pid, container.mac, container.address);
    }
}

void release_container_network(const ContainerRef &reference, const Container &container) {
    if (!container.network) {
        return;
    }
    delete_host_end(host_end_name(reference.directory()));
    try {
        unpublish_ports(read_network_config(reference.host().directory()), container.published);
    } catch (const Refusal &) {
        // A network.conf broken since the start names no table to look in; what stays is
        // taken away with the table, as the manual says.
    }
}

void hold_container_network(const ContainerRef &reference, const Container &container, bool held) {
    if (container.network) {
        set_host_end_up(host_end_name(reference.directory()), !held);
    }
}

}  // namespace zor
