// What a machine keeps beside its state and reads on every command: network.conf and the list
// of machines it trusts. Both come from a file someone else may have written, so every fault
// is refused, never guessed at. No root needed.
#include "network_config.hpp"
#include "refusal.hpp"
#include "trust_list.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A folder of this user's alone, removed at the end.
class HostFiles : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zor-host-files-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory_ = pattern;
    }
    void TearDown() override { fs::remove_all(directory_); }

    void write(const std::string &name, const std::string &text) const {
        std::ofstream(directory_ + "/" + name, std::ios::trunc) << text;
    }

    std::string directory_;
};

// The status of what call throws (0: nothing) and its message.
template <typename Call>
int refusal_of(Call call, std::string &message) {
    try {
        call();
    } catch (const zor::Refusal &refusal) {
        message = refusal.what();
        return refusal.status();
    }
    return 0;
}

TEST_F(HostFiles, NetworkConfDefaultsAndEveryKey) {
    zor::NetworkConfig config = zor::read_network_config(directory_);
    EXPECT_EQ(config.bridge, "zor0");
    EXPECT_EQ(zor::ipv4_text(config.subnet) + "/" + std::to_string(config.prefix), "10.213.0.0/24");
    EXPECT_EQ(zor::ipv4_text(config.host_address), "10.213.0.1");
    EXPECT_EQ(zor::ipv4_text(config.first), "10.213.0.2");
    EXPECT_EQ(zor::ipv4_text(config.last), "10.213.0.254");
    EXPECT_TRUE(config.nat);

    write("network.conf",
          "# segment shared with host B\n\nbridge=br-test\nsubnet=192.168.7.0/25\n"
          "address=192.168.7.100/25\nrange=192.168.7.10-192.168.7.20\nuplink=up0\nnat=no\n");
    config = zor::read_network_config(directory_);
    EXPECT_EQ(config.bridge, "br-test");
    EXPECT_EQ(config.prefix, 25);
    EXPECT_EQ(zor::ipv4_text(config.host_address), "192.168.7.100");
    EXPECT_EQ(zor::ipv4_text(config.first) + "-" + zor::ipv4_text(config.last),
              "192.168.7.10-192.168.7.20");
    EXPECT_EQ(config.uplink, "up0");
    EXPECT_FALSE(config.nat);
    EXPECT_TRUE(config.is_usable(config.first));
    EXPECT_FALSE(config.is_usable(config.subnet));
}

TEST_F(HostFiles, AMalformedNetworkConfIsRefusedNamingItsLine) {
    const std::vector<std::pair<std::string, std::string>> refused{
        {"bridge zor0", ":1: expected key=value"},
        {"colour=blue", "unknown key 'colour'"},
        {"nat=yes\nnat=no", "'nat' is given twice"},
        {"nat=maybe", "nat must be yes or no"},
        {"bridge=a/b", "is not an interface name"},
        {"bridge=sixteen-letters-", "is not an interface name"},
        {"subnet=10.213.0.0/31", "is not a network"},
        {"subnet=10.213.0.1/24", "is not a network"},
        {"subnet=010.213.0.0/24", "is not a network"},
        {"address=10.9.0.1/24", "is not a host address"},
        {"address=10.213.0.255/24", "is not a host address"},
        {"range=10.213.0.20-10.213.0.10", "is not FIRST-LAST"},
        {"range=10.213.0.2-10.213.1.9", "is not FIRST-LAST"},
        {"range=10.213.0.1-10.213.0.9", "holds the host's own address"},
        {"uplink=zor0", "not an interface name other than the bridge"},
    };
    for (const auto &[text, why] : refused) {
        write("network.conf", text + "\n");
        std::string message;
        EXPECT_EQ(refusal_of([&] { zor::read_network_config(directory_); }, message), zor::kUsage)
            << text;
        EXPECT_NE(message.find(why), std::string::npos) << text << ": " << message;
    }
}

TEST_F(HostFiles, TheTrustListKeepsExactFingerprintsAndRefusesADamagedOrForeignList) {
    const std::string a = "SHA256:" + std::string(64, 'a');
    const std::string b = "SHA256:" + std::string(63, '0') + "f";
    std::string message;
    for (const std::string &bad :
         {"SHA256:" + std::string(64, 'A'), "SHA256:" + std::string(63, 'a'),
          "sha256:" + std::string(64, 'a'), a + "\n", std::string(64, 'a'), a + " "}) {
        EXPECT_EQ(refusal_of([&] { zor::checked_fingerprint(bad); }, message), zor::kUsage) << bad;
    }

    EXPECT_TRUE(zor::trusted_machines(directory_).empty());
    EXPECT_TRUE(zor::add_trusted_machine(directory_, a));
    EXPECT_TRUE(zor::add_trusted_machine(directory_, b));
    EXPECT_FALSE(zor::add_trusted_machine(directory_, a));
    EXPECT_EQ(zor::trusted_machines(directory_), (std::vector<std::string>{a, b}));
    EXPECT_TRUE(zor::remove_trusted_machine(directory_, a));
    EXPECT_FALSE(zor::remove_trusted_machine(directory_, a));
    EXPECT_EQ(zor::trusted_machines(directory_), std::vector<std::string>{b});

    // A line that is no fingerprint, a list others may write, a list that is a link: each is
    // refused, so that nobody widens the trust by writing beside the state.
    write("trusted-machines", b + "\nSHA256:whatever\n");
    EXPECT_EQ(refusal_of([&] { zor::trusted_machines(directory_); }, message), zor::kStateFailure);
    write("trusted-machines", b + "\n");
    ASSERT_EQ(chmod((directory_ + "/trusted-machines").c_str(), 0622), 0);
    EXPECT_EQ(refusal_of([&] { zor::trusted_machines(directory_); }, message), zor::kStateFailure);
    fs::remove(directory_ + "/trusted-machines");
    write("elsewhere", a + "\n");
    fs::create_symlink(directory_ + "/elsewhere", directory_ + "/trusted-machines");
    EXPECT_EQ(refusal_of([&] { zor::trusted_machines(directory_); }, message), zor::kStateFailure);
}

}  // namespace
