#include "app/check_mode.h"
#include "app/modes.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;

namespace {

TEST(ModeChoiceTest, FirstMatchingRuleWins) {
    const std::pair<std::vector<std::string>, Mode> cases[] = {
        {{"p"}, Mode::setupWindow},
        {{}, Mode::setupWindow},
        {{"p", "--check", "--connect"}, Mode::setupWindow},
        {{"p", "--check", "--menubar"}, Mode::menuBar},
        {{"p", "--connect", "--menubar"}, Mode::connect},
        {{"p", "--menubar", "--connect"}, Mode::menuBar},
        {{"p", "--pairing-approval", "--connect"}, Mode::pairingApproval},
        {{"p", "--connect"}, Mode::connect},
        {{"p", "--connect", "--session", "s.json", "--check"}, Mode::check},
        {{"p", "--connect=1", "--check"}, Mode::setupWindow},
        {{"--connect", "--check"}, Mode::setupWindow},
    };
    for (const auto& [arguments, mode] : cases) {
        EXPECT_EQ(chooseMode(arguments), mode) << ::testing::PrintToString(arguments);
    }
}

TEST(InstallationTest, RootIsAboveReleasesOnlyForARealRelease) {
    const std::string digest(64, 'a');
    const fs::path install = "/opt/tessaly";
    const fs::path release = install / "releases" / ("r-12-" + digest);
    const auto root = [&](const fs::path& resources, const fs::path& launcher) {
        return Installation::root(resources, [&](const fs::path& p) { return p == launcher; });
    };
    EXPECT_EQ(root(release.string() + "/", install / "tessaly-mcp"), install);
    EXPECT_EQ(root(release, "/elsewhere"), release);
    EXPECT_EQ(root(install / "Releases" / ("r-12-" + digest), install / "tessaly-mcp"),
              install / "Releases" / ("r-12-" + digest));
    EXPECT_EQ(root(install, install / "tessaly-mcp"), install);

    EXPECT_TRUE(Installation::isReleaseFolderName("r-1-" + digest));
    EXPECT_TRUE(Installation::isReleaseFolderName("r-123456789012345-" + std::string(64, '0')));
    for (const std::string& name : {
             "r-012-" + digest,
             "r-1234567890123456-" + digest,
             "r-12-" + std::string(64, 'A'),
             "r-12-" + std::string(63, 'a'),
             "r-12-" + std::string(65, 'a'),
             "r--" + digest,
             "r-1x-" + digest,
             "R-12-" + digest,
             "r-12" + digest,
             "r-12-" + std::string(63, 'a') + "g",
             std::string("r-"),
         }) {
        EXPECT_FALSE(Installation::isReleaseFolderName(name)) << name;
    }
}

TEST(CheckLineTest, IsOneLineOfJsonWhateverTheVersion) {
    const std::string hostile = "version=1\"},\"x\":\"\\\n\t\x01\x7f\xC3\xA9 extensionConnected=false";
    const std::string line = CheckMode::line({ConnectOutcome::readyToConnect, hostile});
    ASSERT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_EQ(nlohmann::json::parse(line),
              (nlohmann::json{{"outcome", "readyToConnect"}, {"detail", hostile}}));
}

} // namespace
