#include "app/setup_window.h"
#include "app/support.h"
#include "tests/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

namespace {

/// A desktop that answers every alert with `answer` and records what was asked of it.
struct FakeDesktop {
    AlertAnswer answer;
    std::vector<AlertSpec> alerts;
    std::vector<std::string> copied;
    std::vector<std::string> opened;

    Desktop desktop() {
        Desktop d;
        d.runAlert = [this](const AlertSpec& spec) {
            alerts.push_back(spec);
            return answer;
        };
        d.copyText = [this](const std::string& text) { copied.push_back(text); };
        d.openURL = [this](const std::string& url) { opened.push_back(url); };
        return d;
    }
};

TEST(ConfigurationTest, NamesTheLauncherInRootAsJsonWithSortedKeys) {
    const std::string json = SetupWindow::configurationJson("/opt/my tools/tessaly");
    EXPECT_EQ(json, "{\n"
                    "  \"mcpServers\": {\n"
                    "    \"tessaly\": {\n"
                    "      \"args\": [],\n"
                    "      \"command\": \"/opt/my tools/tessaly/tessaly-mcp\"\n"
                    "    }\n"
                    "  }\n"
                    "}");
    const std::string odd = "/opt/a \"quoted\" back\\slash/caf\xC3\xA9";
    const auto parsed = nlohmann::json::parse(SetupWindow::configurationJson(odd));
    EXPECT_EQ(parsed["mcpServers"]["tessaly"]["command"], odd + "/tessaly-mcp");
    // Bytes that are not UTF-8 cannot be written as JSON; they show as replacement characters.
    const auto broken = nlohmann::json::parse(SetupWindow::configurationJson("/opt/\xFF"));
    EXPECT_EQ(broken["mcpServers"]["tessaly"]["command"], "/opt/\xEF\xBF\xBD/tessaly-mcp");
}

TEST(SetupWindowTest, EachButtonDoesItsOneThing) {
    struct Case {
        int response;
        bool copies, connects, offers;
    };
    for (const Case& c : {Case{1000, false, false, false}, Case{1001, true, false, false},
                          Case{1002, false, true, false}, Case{1003, false, false, true}}) {
        FakeDesktop fake{{c.response, std::nullopt}, {}, {}, {}};
        int connects = 0;
        int offers = 0;
        EXPECT_EQ(SetupWindow::run("{json}", fake.desktop(), {[&] { ++connects; }, [&] { ++offers; }}), 0);
        ASSERT_EQ(fake.alerts.size(), 1u);
        EXPECT_EQ(fake.copied, c.copies ? std::vector<std::string>{"{json}"} : std::vector<std::string>{});
        EXPECT_EQ(connects, c.connects ? 1 : 0) << c.response;
        EXPECT_EQ(offers, c.offers ? 1 : 0) << c.response;
    }
    const AlertSpec window = SetupWindow::alert("{json}");
    EXPECT_EQ(window.buttons,
              (std::vector<std::string>{"Close", "Copy example", "Connect to Chrome", "Support"}));
    EXPECT_EQ(window.accessory, (AlertSpec::Accessory(TextAccessory{590, 260, "{json}", 12})));
}

std::string supportFile(const std::vector<std::string>& entries) {
    std::string links;
    for (const auto& entry : entries) {
        links += (links.empty() ? "" : ",") + entry;
    }
    return R"({"other":1,"links":[)" + links + "]}";
}

const std::string fiveLinks = supportFile({
    R"({"label":"Monthly","recipient":"Maintainers","url":"https://www.paypal.com/donate"})",
    R"({"label":"Label only","url":"https://ko-fi.com/x"})",
    R"({"recipient":"Recipient only","url":"https://paypal.me/x"})",
    R"({"label":7,"recipient":null,"url":"http://paypal.com/"})",
    R"({"label":"<b>Q&A</b>","url":5})",
});

TEST(SupportFileTest, ShowsExactlyFiveObjectsWithTheirTitles) {
    const auto links = SupportLinks::parse(fiveLinks);
    ASSERT_TRUE(links);
    std::vector<std::string> titles;
    for (const auto& link : *links) {
        titles.push_back(link.title);
    }
    EXPECT_EQ(titles, (std::vector<std::string>{"Monthly - Maintainers", "Label only", " - Recipient only",
                                                "", "<b>Q&A</b>"}));
    EXPECT_EQ((*links)[4].url, std::nullopt);

    const std::string entry = R"({"label":"x"})";
    for (const std::string& document : {
             supportFile({entry, entry, entry, entry}),
             supportFile({entry, entry, entry, entry, entry, entry}),
             supportFile({entry, entry, "5", entry, entry}),
             std::string(R"([{"links":[]}])"),
             std::string(R"({"links":{}})"),
             std::string(R"({"Links":[]})"),
             fiveLinks + "x",
             std::string(),
         }) {
        EXPECT_FALSE(SupportLinks::parse(document)) << document;
    }
}

TEST(SupportLinkTest, OpensOnlyHttpsLinksToAllowedHosts) {
    const std::pair<std::string, bool> cases[] = {
        {"https://paypal.com/donate", true},
        {"https://www.paypal.com/donate?x=1#y", true},
        {"https://a.b.ko-fi.com", true},
        {"https://paypal.me:8443/path", true},
        {"https://user@paypal.me/", true},
        {"http://paypal.com/", false},
        {"HTTPS://paypal.com/", false},
        {"Https://paypal.com/", false},
        {"https://PAYPAL.com/", false},
        {"https://notpaypal.com/", false},
        {"https://paypal.com.evil.example/", false},
        {"https://paypal.com@evil.example/", false},
        {"https://evil.example/paypal.com", false},
        {"https://evil.example\\@paypal.com/", false},
        {"https://www%2epaypal.com/", false},
        {"https:paypal.com", false},
        {"https:///paypal.com", false},
        {"paypal.com", false},
        {"", false},
    };
    for (const auto& [url, openable] : cases) {
        EXPECT_EQ(SupportLinks::isOpenable(url), openable) << url;
    }
}

TEST(SupportChoiceTest, OpensTheSelectedLinkOnlyWhenAskedAndAllowed) {
    TempDir dir;
    FakeDesktop fake{{1001, 2}, {}, {}, {}};
    SupportLinks::offer(dir.path(), fake.desktop()); // no file: nothing shown
    EXPECT_TRUE(fake.alerts.empty());

    dir.write("SUPPORT.json", fiveLinks);
    SupportLinks::offer(dir.path(), fake.desktop());
    ASSERT_EQ(fake.alerts.size(), 1u);
    EXPECT_EQ(fake.alerts[0].buttons, (std::vector<std::string>{"Close", "Open support link"}));
    const auto& popUp = std::get<PopUpAccessory>(fake.alerts[0].accessory);
    EXPECT_EQ(popUp.items.size(), 5u);
    EXPECT_EQ(popUp.selected, 0u);
    EXPECT_EQ(fake.opened, std::vector<std::string>{"https://paypal.me/x"});

    for (const AlertAnswer& answer : {AlertAnswer{1000, 2}, AlertAnswer{1001, 3}, AlertAnswer{1001, 4},
                                      AlertAnswer{1001, 5}, AlertAnswer{1001, std::nullopt}}) {
        FakeDesktop other{answer, {}, {}, {}};
        SupportLinks::offer(dir.path(), other.desktop());
        EXPECT_TRUE(other.opened.empty()) << answer.response;
    }
}

TEST(SupportChoiceTest, UnusualFilesAreIgnoredWithoutBlocking) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(SupportLinks::readFile(dir.path() / "fifo"));
    EXPECT_FALSE(SupportLinks::readFile(dir.path()));
    EXPECT_FALSE(SupportLinks::readFile(dir.write("big", std::string(SupportLinks::maxFileBytes + 1, ' '))));
    EXPECT_TRUE(SupportLinks::readFile(dir.write("fits", std::string(SupportLinks::maxFileBytes, ' '))));
}

} // namespace
