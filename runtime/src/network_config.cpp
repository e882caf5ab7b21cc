// network.conf: key=value lines, blank lines and '#' comments ignored, every fault refused.
#include "network_config.hpp"

#include "refusal.hpp"

#include <fstream>
#include <map>

namespace zor {

namespace {

std::uint32_t mask_of(int prefix) {
    return prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
}

// "A.B.C.D/N"; the prefix 8 to 30, so that a subnet holds at least two hosts.
bool parse_cidr(const std::string &text, std::uint32_t &address_out, int &prefix_out) {
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos || !parse_ipv4(text.substr(0, slash), address_out)) {
        return false;
    }
    const std::string digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 2 ||
        digits.find_first_not_of("0123456789") != std::string::npos ||
        (digits.size() == 2 && digits[0] == '0')) {
        return false;
    }
    prefix_out = std::stoi(digits);
    return prefix_out >= 8 && prefix_out <= 30;
}

}  // namespace

bool NetworkConfig::is_usable(std::uint32_t address) const {
    const std::uint32_t mask = mask_of(prefix);
    return (address & mask) == subnet && address != subnet && address != (subnet | ~mask);
}

bool parse_ipv4(const std::string &text, std::uint32_t &address_out) {
    std::uint32_t address = 0;
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != '.') {
                return false;
            }
            ++at;
        }
        const std::size_t start = at;
        unsigned value = 0;
        while (at < text.size() && at - start < 3 && text[at] >= '0' && text[at] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
            ++at;
        }
        if (at == start || value > 255 || (at - start > 1 && text[start] == '0')) {
            return false;
        }
        address = address << 8 | value;
    }
    if (at != text.size()) {
        return false;
    }
    address_out = address;
    return true;
}

std::string ipv4_text(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) + "." +
           std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
}

bool is_interface_name(const std::string &name) {
    return !name.empty() && name.size() <= 15 && name != "." && name != ".." &&
           name.find_first_not_of(
               "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
               "0123456789_-.") == std::string::npos;
}

NetworkConfig read_network_config(const std::string &directory) {
    const std::string path = directory + "/" + kNetworkFile;
    std::map<std::string, std::string> values;
    std::ifstream in(path);
    std::string line;
    int number = 0;
    const auto refuse = [&](const std::string &why) {
        throw Refusal(kUsage, path + (number > 0 ? ":" + std::to_string(number) : "") + ": " + why);
    };
    while (in && std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::size_t text = line.find_first_not_of(" \t");
        if (text == std::string::npos || line[text] == '#') {
            continue;
        }
        const std::size_t equals = line.find('=');
        const std::string key = line.substr(0, equals);
        if (equals == std::string::npos) {
            refuse("expected key=value");
        }
        if (key != "bridge" && key != "subnet" && key != "address" && key != "range" &&
            key != "uplink" && key != "nat") {
            refuse("unknown key '" + key + "'");
        }
        if (!values.emplace(key, line.substr(equals + 1)).second) {
            refuse("'" + key + "' is given twice");
        }
    }
    number = 0;
    NetworkConfig config;
    const auto given = [&](const char *key) { return values.count(key) != 0; };
    if (given("bridge")) {
        config.bridge = values["bridge"];
        if (!is_interface_name(config.bridge)) {
            refuse("bridge '" + config.bridge + "' is not an interface name");
        }
    }
    const std::string subnet = given("subnet") ? values["subnet"] : "10.213.0.0/24";
    std::uint32_t network = 0;
    if (!parse_cidr(subnet, network, config.prefix) || (network & ~mask_of(config.prefix)) != 0) {
        refuse("subnet '" + subnet + "' is not a network in the form A.B.C.D/N (N 8 to 30)");
    }
    config.subnet = network;
    config.host_address = network + 1;
    if (given("address")) {
        int prefix = 0;
        if (!parse_cidr(values["address"], config.host_address, prefix) ||
            prefix != config.prefix || !config.is_usable(config.host_address)) {
            refuse("address '" + values["address"] + "' is not a host address of " + subnet +
                   " with its prefix");
        }
    }
    const std::uint32_t broadcast = network | ~mask_of(config.prefix);
    config.first = network + 1;
    config.last = broadcast - 1;
    if (given("range")) {
        const std::string &range = values["range"];
        const std::size_t dash = range.find('-');
        if (dash == std::string::npos || !parse_ipv4(range.substr(0, dash), config.first) ||
            !parse_ipv4(range.substr(dash + 1), config.last) || config.first > config.last ||
            !config.is_usable(config.first) || !config.is_usable(config.last)) {
            refuse("range '" + range + "' is not FIRST-LAST of host addresses in " + subnet);
        }
    }
    if (config.host_address >= config.first && config.host_address <= config.last &&
        given("range")) {
        refuse("the range holds the host's own address " + ipv4_text(config.host_address));
    }
    if (config.first == config.host_address && !given("range")) {
        ++config.first;
    }
    if (config.first > config.last) {
        refuse("the range " + ipv4_text(config.first) + "-" + ipv4_text(config.last) + " is empty");
    }
    if (given("uplink")) {
        config.uplink = values["uplink"];
        if (!is_interface_name(config.uplink) || config.uplink == config.bridge) {
            refuse("uplink '" + config.uplink + "' is not an interface name other than the bridge");
        }
    }
    if (given("nat")) {
        if (values["nat"] != "yes" && values["nat"] != "no") {
            refuse("nat must be yes or no, not '" + values["nat"] + "'");
        }
        config.nat = values["nat"] == "yes";
    }
    return config;
}

}  // namespace zor
