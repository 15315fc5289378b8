#include "app/check_mode.h"
#include "app/configuration_text.h"
#include "app/installation.h"
#include "app/modes.h"
#include "tests/temp_dir.h"

#include <algorithm>
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
    const fs::path install = "/opt/tessaly", release = install / "releases" / ("r-12-" + digest);
    const auto root = [&](const fs::path& resources, const fs::path& launcher) {
        return Installation::root(resources, [&](const fs::path& p) { return p == launcher; });
    };
    EXPECT_EQ(root(release.string() + "/", install / "tessaly-mcp"), install);
    EXPECT_EQ(root(release, "/elsewhere"), release);
    EXPECT_EQ(root(install / "Releases" / ("r-12-" + digest), install / "tessaly-mcp"),
              install / "Releases" / ("r-12-" + digest));

    EXPECT_TRUE(Installation::isReleaseFolderName("r-1-" + digest));
    EXPECT_TRUE(Installation::isReleaseFolderName("r-123456789012345-" + std::string(64, '0')));
    for (const std::string& name :
         {"r-012-" + digest, "r-1234567890123456-" + digest, "r-12-" + std::string(64, 'A'),
          "r-12-" + std::string(63, 'a'), "r-12-" + std::string(65, 'a'), "r--" + digest, "r-1x-" + digest,
          "R-12-" + digest, "r-12" + digest, "r-12-" + std::string(63, 'a') + "g", std::string("r-")}) {
        EXPECT_FALSE(Installation::isReleaseFolderName(name)) << name;
    }
}

// Every path of the installation comes from the executable's own, and never from the working folder.
TEST(InstallationTest, LayoutIsDerivedOnceFromAnAbsoluteExecutable) {
    const auto never = [](const fs::path&) { return false; };
    for (const fs::path& unusable : {fs::path(), fs::path("tessaly-setup"), fs::path("./TessalySetup/x")}) {
        EXPECT_EQ(Installation::Layout::around(unusable, never), std::nullopt) << unusable;
    }
    // Those of an absolute one are read end to end; relative ones never, whatever the working folder holds.
    const TempDir dir;
    dir.write("runtime/node", "#!/bin/sh\n", 0700);
    dir.write("bin/presence.js", "");
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_FALSE((ConnectVerifier::Layout{"runtime/node", "bin/presence.js"}).usable());
    EXPECT_FALSE(ConnectVerifier::Layout{}.usable());
    fs::current_path(previous);
}

// Both entries are read whole end to end, with a plain path.
TEST(ConfigurationTextTest, BothEntriesHoldAnyPathAsTheCommand) {
    const std::string odd = "/opt/a \"quoted\" back\\slash/caf\xC3\xA9";
    for (const auto& text :
         {ConfigurationText::setupWindowEntry(odd), ConfigurationText::statusItemSnippet(odd)}) {
        EXPECT_EQ(nlohmann::json::parse(text)["mcpServers"]["tessaly"]["command"], odd);
    }
    // Bytes that are not UTF-8 cannot be written as JSON; they show as replacement characters.
    EXPECT_EQ(nlohmann::json::parse(
                  ConfigurationText::statusItemSnippet("/opt/\xFF"))["mcpServers"]["tessaly"]["command"],
              "/opt/\xEF\xBF\xBD");
}

TEST(ConfigurationTextTest, TheStatusItemNamesALauncherThatExists) {
    const fs::path install = "/opt/t", release = install / "releases" / ("r-3-" + std::string(64, 'b'));
    const auto commandWith = [&](const fs::path& resources, std::vector<fs::path> executables) {
        const auto isExecutable = [&](const fs::path& p) {
            return std::find(executables.begin(), executables.end(), p) != executables.end();
        };
        const auto layout =
            Installation::Layout::around(resources / "TessalySetup" / "tessaly-setup", isExecutable);
        return ConfigurationText::statusItemCommand(*layout, isExecutable);
    };
    // Flat: the one beside the resource root, even when it is missing (nothing better exists).
    EXPECT_EQ(commandWith(install, {install / "tessaly-mcp"}), install / "tessaly-mcp");
    EXPECT_EQ(commandWith(install, {}), install / "tessaly-mcp");
    // Release: the root's launcher, unless the release folder has one of its own.
    EXPECT_EQ(commandWith(release, {install / "tessaly-mcp"}), install / "tessaly-mcp");
    EXPECT_EQ(commandWith(release, {install / "tessaly-mcp", release / "tessaly-mcp"}),
              release / "tessaly-mcp");
}

TEST(CheckLineTest, IsOneLineOfJsonWhateverTheVersion) {
    const std::string hostile = "version=1\"},\"x\":\"\\\n\t\x01\x7f\xC3\xA9 extensionConnected=false";
    const std::string line = CheckMode::line({ConnectOutcome::readyToConnect, hostile});
    ASSERT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_EQ(nlohmann::json::parse(line),
              (nlohmann::json{{"outcome", "readyToConnect"}, {"detail", hostile}}));
}

} // namespace
