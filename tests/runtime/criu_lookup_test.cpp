// The order in which the runtime tries CRIUs when ZOR_RUNTIME_CRIU is unset: the packaged one
// first, unless a distribution CRIU says it is newer. Stand-in CRIUs are scripts that print a
// version; no root, no kernel probe.
#include "criu_lookup.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class CriuOrder : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "criu-order-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }

    // A CRIU that prints "Version: version" (nothing when version is empty).
    std::string criu(const std::string &name, const std::string &version) const {
        const fs::path path = directory_ / name;
        std::ofstream(path) << "#!/bin/sh\n"
                            << (version.empty() ? "" : "echo 'Version: " + version + "'\n")
                            << "echo 'GitID: v0'\n";
        chmod(path.c_str(), 0755);
        return path.string();
    }
    std::string missing(const std::string &name) const { return (directory_ / name).string(); }

    fs::path directory_;
};

TEST_F(CriuOrder, ANewerDistributionCriuGoesBeforeThePackagedOne) {
    const std::string packaged = criu("packaged", "4.1.1");
    const std::string built = missing("built");
    const struct {
        const char *distribution_version;  // "": it prints no version
        bool first;                        // the distribution CRIU goes first
    } cases[] = {
        {"4.2", true},  {"4.1.2", true},   {"5.0", true}, {"4.1.1", false},
        {"4.1", false}, {"3.17.1", false}, {"", false},   {"4.10", true},
    };
    for (const auto &one : cases) {
        const std::string distribution = criu("criu", one.distribution_version);
        const std::vector<std::string> order =
            zor::criu_candidates(packaged, {distribution}, built);
        const std::vector<std::string> expected =
            one.first ? std::vector<std::string>{distribution, packaged, built}
                      : std::vector<std::string>{packaged, distribution, built};
        EXPECT_EQ(order, expected) << "distribution CRIU " << one.distribution_version;
    }
}

TEST_F(CriuOrder, AMissingOrSilentPackagedCriuKeepsTheOrder) {
    const std::string on_path = criu("on-path", "4.2");
    const std::string sbin = criu("sbin", "3.17");
    const std::string built = criu("built", "4.1.1");
    const std::string absent = missing("packaged");
    EXPECT_EQ(zor::criu_candidates(absent, {on_path, sbin}, built),
              (std::vector<std::string>{absent, on_path, sbin, built}));
    EXPECT_EQ(zor::criu_candidates("", {on_path, "", on_path}, ""),
              (std::vector<std::string>{on_path}));
    // A packaged CRIU that names no version lets nothing go before it.
    const std::string quiet = criu("quiet", "");
    EXPECT_EQ(zor::criu_candidates(quiet, {on_path, sbin}, built),
              (std::vector<std::string>{quiet, on_path, sbin, built}));
}

TEST_F(CriuOrder, ThePackagedCriuLiesBesideTheProgramsSbin) {
    // This test program is not installed: its lib/zor-runtime/criu is beside its own folder.
    const fs::path program = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(zor::packaged_criu(),
              (program.parent_path().parent_path() / "lib/zor-runtime/criu").string());
}

}  // namespace
