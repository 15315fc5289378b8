#include "app/check_mode.h"
#include "app/modes.h"
#include "tests/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;

namespace {

TEST(ModeChoiceTest, FirstMatchingRuleWins) {
    const std::pair<std::vector<std::string>, Mode> cases[] = {
        {{"p"}, Mode::setupWindow},
        {{}, Mode::setupWindow},
        {{"p", "--check"}, Mode::setupWindow},
        {{"p", "--check", "--connect"}, Mode::setupWindow},
        {{"p", "--check", "--menubar"}, Mode::menuBar},
        {{"p", "--connect", "--menubar"}, Mode::connect},
        {{"p", "--menubar", "--connect"}, Mode::menuBar},
        {{"p", "x", "y", "--menubar"}, Mode::menuBar},
        {{"p", "--pairing-approval", "--connect"}, Mode::pairingApproval},
        {{"p", "--connect"}, Mode::connect},
        {{"p", "--connect", "--session", "s.json", "--check"}, Mode::check},
        {{"p", "--connect=1", "--check"}, Mode::setupWindow},
        {{"p", "--Connect", "--check"}, Mode::setupWindow},
        {{"--connect", "--check"}, Mode::setupWindow},
    };
    for (const auto& [arguments, mode] : cases) {
        EXPECT_EQ(chooseMode(arguments), mode) << ::testing::PrintToString(arguments);
    }
}

TEST(InstallationTest, RootIsAboveReleasesOnlyForARealRelease) {
    const std::string digest(64, 'a');
    const auto launcherAt = [](const fs::path& expected) {
        return [expected](const fs::path& p) { return p == expected; };
    };
    const fs::path install = "/opt/tessaly";
    const fs::path release = install / "releases" / ("r-12-" + digest);
    EXPECT_EQ(Installation::root(release, launcherAt(install / "tessaly-mcp")), install);
    EXPECT_EQ(Installation::root(release.string() + "/", launcherAt(install / "tessaly-mcp")), install);
    EXPECT_EQ(Installation::root(release, launcherAt("/elsewhere")), release);
    EXPECT_EQ(
        Installation::root(install / "Releases" / ("r-12-" + digest), launcherAt(install / "tessaly-mcp")),
        install / "Releases" / ("r-12-" + digest));
    EXPECT_EQ(Installation::root(install, launcherAt(install / "tessaly-mcp")), install);

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
    EXPECT_EQ(Installation::resourceRoot("/opt/tessaly/TessalySetup"), "/opt/tessaly");
}

class CheckModeTest : public ::testing::Test {
  protected:
    CheckMode::Report checkAnswering(std::string answer) {
        return CheckMode::check(session_, {"node", "verify.js"}, ::getuid(),
                                [answer](const std::string&, const std::vector<std::string>&,
                                         const std::string&, double) { return std::optional(answer); });
    }

    TempDir dir_;
    fs::path session_ =
        dir_.write("session.json", R"({"port":5000,"pairUrl":"http://127.0.0.1:5000/pair#token=t"})");
};

TEST_F(CheckModeTest, ReportsEachEnding) {
    EXPECT_EQ(CheckMode::check(dir_.path() / "missing.json", {"node", "verify.js"}, ::getuid()),
              (CheckMode::Report{ConnectOutcome::failed, "noSession"}));
    EXPECT_EQ(checkAnswering(R"({"ok":false,"reason":"rejected"})"),
              (CheckMode::Report{ConnectOutcome::failed, "tokenNotCurrent"}));
    EXPECT_EQ(checkAnswering(R"({"ok":true,"version":"1.2","protocolVersion":1,"extensionConnected":false})"),
              (CheckMode::Report{ConnectOutcome::readyToConnect, "version=1.2 extensionConnected=false"}));
}

TEST(CheckLineTest, IsOneLineOfJsonWhateverTheVersion) {
    EXPECT_EQ(CheckMode::line({ConnectOutcome::failed, "noSession"}),
              "{\"outcome\":\"failed\",\"detail\":\"noSession\"}\n");
    const std::string hostile = "version=1\"},\"x\":\"\\\n\t\x01\x7f\xC3\xA9 extensionConnected=false";
    const std::string line = CheckMode::line({ConnectOutcome::readyToConnect, hostile});
    ASSERT_EQ(line.find('\n'), line.size() - 1);
    const auto parsed = nlohmann::json::parse(line);
    EXPECT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed["outcome"], "readyToConnect");
    EXPECT_EQ(parsed["detail"], hostile);
}

} // namespace
