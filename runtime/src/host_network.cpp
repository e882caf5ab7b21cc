// The host side of containers' networks, through the tools the field uses: ip (iproute2),
// nft (nftables) and nsenter; the gratuitous ARP is one packet, sent from the container's
// network namespace.
#include "host_network.hpp"

#include "program_run.hpp"
#include "refusal.hpp"
#include "scope_guard.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace zor {

namespace {

constexpr char kPlanWord[] = "--veth";
constexpr char kHeldWord[] = "held";

// One table per bridge, so that several state directories of one host that share a bridge
// share its rules, and taking the table away takes all of them.
std::string table_name(const std::string &bridge) {
    std::string name = "zor_";
    for (const char c : bridge) {
        name += (c == '-' || c == '.') ? '_' : c;
    }
    return name;
}

std::string prefix_text(int prefix) {
    return std::to_string(prefix);
}

void run_or_refuse(const std::vector<std::string> &argv, const std::string &what) {
    const ProgramResult result = run_program(argv);
    if (result.status != 0) {
        std::string why = result.err.empty() ? result.out : result.err;
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) {
            why.pop_back();
        }
        if (result.status < 0) {
            why = argv[0] + " cannot be run";
        }
        throw Refusal(kHostFailure, "cannot " + what + ": " + why);
    }
}

bool link_exists(const std::string &name) {
    return run_program({"ip", "link", "show", "dev", name}).status == 0;
}

void write_sysctl(const std::string &path, const char *value) {
    std::ofstream out(path);
    out << value << "\n";
    out.close();
    if (!out) {
        throw Refusal(kHostFailure, "cannot write " + path);
    }
}

std::string net_of(pid_t pid) {
    return "--net=/proc/" + std::to_string(pid) + "/ns/net";
}

// "xx:xx:xx:xx:xx:xx" in hex digits.
bool parse_mac(const std::string &text, unsigned char (&bytes_out)[6]) {
    if (text.size() != 17) {
        return false;
    }
    const auto digit = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    for (std::size_t i = 0; i < 6; ++i) {
        const int high = digit(text[i * 3]);
        const int low = digit(text[i * 3 + 1]);
        if (high < 0 || low < 0 || (i < 5 && text[i * 3 + 2] != ':')) {
            return false;
        }
        bytes_out[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return true;
}

}  // namespace

std::string host_end_name(const std::string &container_directory) {
    // FNV-1a: stable across builds and hosts; 32 bits in 8 hex digits keep the name within
    // the kernel's 15 characters.
    std::uint32_t hash = 2166136261U;
    for (const char c : container_directory) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619U;
    }
    char text[16];
    std::snprintf(text, sizeof text, "zv%08x", hash);
    return text;
}

std::vector<std::string> veth_plan_words(const VethPlan &plan) {
    std::vector<std::string> words{kPlanWord,    plan.bridge,  plan.host_end,
                                   plan.address, plan.gateway, plan.mac};
    if (plan.held) {
        words.emplace_back(kHeldWord);
    }
    return words;
}

VethPlan veth_plan_from_words(const std::vector<std::string> &words) {
    const bool held = words.size() == 7 && words[6] == kHeldWord;
    if ((words.size() != 6 && !held) || words[0] != kPlanWord || !is_interface_name(words[1]) ||
        !is_interface_name(words[2])) {
        throw Refusal(kUsage, "the hook's network words are malformed");
    }
    VethPlan plan;
    plan.bridge = words[1];
    plan.host_end = words[2];
    plan.address = words[3];
    plan.gateway = words[4];
    plan.mac = words[5];
    plan.held = held;
    return plan;
}

void ensure_host_network(const NetworkConfig &config) {
    const std::string &bridge = config.bridge;
    if (!link_exists(bridge)) {
        run_or_refuse({"ip", "link", "add", "name", bridge, "type", "bridge"},
                      "make bridge " + bridge);
    }
    const std::string own = ipv4_text(config.host_address) + "/" + prefix_text(config.prefix);
    run_or_refuse({"ip", "address", "replace", own, "dev", bridge},
                  "give bridge " + bridge + " the address " + own);
    if (!config.uplink.empty()) {
        run_or_refuse({"ip", "link", "set", "dev", config.uplink, "master", bridge, "up"},
                      "add uplink " + config.uplink + " to bridge " + bridge);
    }
    run_or_refuse({"ip", "link", "set", "dev", bridge, "up"}, "bring bridge " + bridge + " up");
    // Published ports reached from other machines, and containers' traffic to them, are
    // routed by the host; connections from the host to 127.0.0.1 are routed to the bridge.
    write_sysctl("/proc/sys/net/ipv4/ip_forward", "1");
    write_sysctl("/proc/sys/net/ipv4/conf/" + bridge + "/route_localnet", "1");
    const std::string table = table_name(bridge);
    if (run_program({"nft", "list", "table", "ip", table}).status == 0) {
        return;
    }
    const std::string subnet = ipv4_text(config.subnet) + "/" + prefix_text(config.prefix);
    const std::string out = "oifname \"" + bridge + "\" ";
    std::string script = "table ip " + table +
                         " {\n"
                         " map published { type inet_service : ipv4_addr . inet_service; }\n"
                         " chain prerouting { type nat hook prerouting priority dstnat; "
                         "fib daddr type local dnat ip to tcp dport map @published; }\n"
                         " chain output { type nat hook output priority -100; "
                         "fib daddr type local dnat ip to tcp dport map @published; }\n"
                         " chain postrouting { type nat hook postrouting priority srcnat;\n"
                         "  " +
                         out + "ip saddr 127.0.0.0/8 masquerade\n  " + out + "ip saddr " + subnet +
                         " ct status dnat masquerade\n";
    if (config.nat) {
        script += "  oifname != \"" + bridge + "\" ip saddr " + subnet + " masquerade\n";
    }
    script += " }\n chain forward { type filter hook forward priority filter; iifname \"" + bridge +
              "\" accept; " + out + "accept; }\n}\n";
    // In memory, not a file that a command killed meanwhile would leave behind: nft reads it
    // through the descriptor it inherits.
    const int fd = memfd_create("zor-nft", 0);
    if (fd < 0) {
        throw Refusal(kHostFailure, "cannot write the nftables rules of bridge " + bridge, errno);
    }
    const ScopeGuard closed([fd] { close(fd); });
    const bool written =
        write(fd, script.data(), script.size()) == static_cast<ssize_t>(script.size());
    const ProgramResult result =
        written ? run_program({"nft", "-f", "/proc/self/fd/" + std::to_string(fd)})
                : ProgramResult{};
    if (result.status != 0) {
        throw Refusal(kHostFailure, "cannot add the nftables table " + table + ": " +
                                        (result.status < 0 ? "nft cannot be run" : result.err));
    }
}

void connect_container(pid_t pid, const VethPlan &plan) {
    const std::string net = net_of(pid);
    // What a container killed before its stop left, under the same name.
    delete_host_end(plan.host_end);
    run_or_refuse({"ip", "link", "add", "name", plan.host_end, "type", "veth", "peer", "name",
                   "eth0", "address", plan.mac, "netns", std::to_string(pid)},
                  "make the veth pair " + plan.host_end);
    run_or_refuse({"nsenter", net, "ip", "address", "add", plan.address, "dev", "eth0"},
                  "give eth0 the address " + plan.address);
    run_or_refuse({"nsenter", net, "ip", "link", "set", "dev", "eth0", "up"}, "bring eth0 up");
    run_or_refuse({"nsenter", net, "ip", "route", "add", "default", "via", plan.gateway},
                  "route through " + plan.gateway);
    std::vector<std::string> attach{"ip",          "link",   "set",      "dev",
                                    plan.host_end, "master", plan.bridge};
    if (!plan.held) {
        attach.emplace_back("up");
    }
    run_or_refuse(attach, "put " + plan.host_end + " on bridge " + plan.bridge);
}

void set_host_end_up(const std::string &host_end, bool up) {
    if (link_exists(host_end)) {
        run_or_refuse({"ip", "link", "set", "dev", host_end, up ? "up" : "down"},
                      std::string("take ") + host_end + (up ? " up" : " down"));
    }
}

void delete_host_end(const std::string &host_end) {
    if (link_exists(host_end)) {
        run_program({"ip", "link", "del", "dev", host_end});
    }
}

void publish_ports(const NetworkConfig &config, const std::string &address,
                   const std::vector<std::pair<int, int>> &ports) {
    for (const auto &port : ports) {
        const std::string element = "{ " + std::to_string(port.first) + " : " + address + " . " +
                                    std::to_string(port.second) + " }";
        run_program({"nft", "delete", "element", "ip", table_name(config.bridge), "published",
                     "{ " + std::to_string(port.first) + " }"});
        run_or_refuse(
            {"nft", "add", "element", "ip", table_name(config.bridge), "published", element},
            "publish port " + std::to_string(port.first));
    }
}

void unpublish_ports(const NetworkConfig &config, const std::vector<std::pair<int, int>> &ports) {
    for (const auto &port : ports) {
        run_program({"nft", "delete", "element", "ip", table_name(config.bridge), "published",
                     "{ " + std::to_string(port.first) + " }"});
    }
}

bool is_tcp_port_taken(int port) {
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    // Connections in TIME_WAIT hold no port for a listener; only what is bound does.
    const int reuse = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    const bool taken =
        bind(sock, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 &&
        errno == EADDRINUSE;
    close(sock);
    return taken;
}

namespace {

// An ARP request from sender (MAC and address) for target, broadcast.
struct ArpRequest {
    unsigned char bytes[28] = {0, 1, 8, 0, 6, 4, 0, 1};
    ArpRequest(const unsigned char (&mac)[6], std::uint32_t sender, std::uint32_t target) {
        std::memcpy(bytes + 8, mac, 6);
        const std::uint32_t from = htonl(sender);
        const std::uint32_t to = htonl(target);
        std::memcpy(bytes + 14, &from, 4);
        std::memcpy(bytes + 24, &to, 4);
    }
};

// The addresses on eth0 that this network namespace is still resolving (/proc/net/arp,
// which shows the reader's namespace, flags 0: no answer yet).
std::vector<std::uint32_t> unresolved_neighbours() {
    std::vector<std::uint32_t> found;
    std::ifstream table("/proc/net/arp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string ip;
        std::string type;
        std::string flags;
        std::string hardware;
        std::string mask;
        std::string device;
        std::uint32_t address = 0;
        if (fields >> ip >> type >> flags >> hardware >> mask >> device && flags == "0x0" &&
            device == "eth0" && parse_ipv4(ip, address)) {
            found.push_back(address);
        }
    }
    return found;
}

}  // namespace

void announce_address(pid_t pid, const std::string &mac, const std::string &address) {
    std::uint32_t ip = 0;
    unsigned char octets[6] = {};
    if (!parse_ipv4(address, ip) || !parse_mac(mac, octets)) {
        throw Refusal(kHostFailure, "cannot announce " + address + " at " + mac);
    }
    const std::string ns = "/proc/" + std::to_string(pid) + "/ns/net";
    // setns changes the calling thread's namespace for good, so a child sends it.
    const pid_t child = fork();
    if (child == 0) {
        const int fd = open(ns.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
            _exit(1);
        }
        const int sock = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ARP));
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_protocol = htons(ETH_P_ARP);
        to.sll_ifindex = static_cast<int>(if_nametoindex("eth0"));
        to.sll_halen = 6;
        std::memset(to.sll_addr, 0xff, 6);
        if (sock < 0 || to.sll_ifindex == 0) {
            _exit(2);
        }
        const auto send = [&](const ArpRequest &request) {
            return sendto(sock, request.bytes, sizeof request.bytes, 0,
                          reinterpret_cast<const sockaddr *>(&to),
                          sizeof to) == static_cast<ssize_t>(sizeof request.bytes);
        };
        // A request for its own address (sender and target alike): switches learn where the
        // MAC is now, neighbours refresh what they hold, none answers.
        const bool sent = send(ArpRequest(octets, ip, ip));
        // The restored sockets' first segments asked for their peers while the container was
        // still off the segment; the kernel asks again only a second later. Asked now, the
        // answers complete those entries and the waiting segments go at once.
        for (const std::uint32_t neighbour : unresolved_neighbours()) {
            send(ArpRequest(octets, ip, neighbour));
        }
        _exit(sent ? 0 : 3);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        throw Refusal(kHostFailure,
                      "cannot announce " + address + " from process " + std::to_string(pid));
    }
}

}  // namespace zor
