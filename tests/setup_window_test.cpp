#include "app/clipboard_route.h"
#include "app/setup_window.h"
#include "app/support.h"
#include "tests/temp_dir.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

namespace {

using namespace std::string_literals;

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
    std::vector<std::string> titles(links->size());
    std::ranges::transform(*links, titles.begin(), &SupportLinks::Link::title);
    EXPECT_EQ(titles, (std::vector<std::string>{"Monthly - Maintainers", "Label only", " - Recipient only",
                                                "", "<b>Q&A</b>"}));

    const std::string entry = R"({"label":"x"})";
    // A NUL byte would stop the parser.
    for (const std::string& document :
         {supportFile({entry, entry, entry, entry}), supportFile({entry, entry, entry, entry, entry, entry}),
          supportFile({entry, entry, "5", entry, entry}), R"([{"links":[]}])"s, R"({"links":{}})"s,
          R"({"Links":[]})"s, fiveLinks + "x", fiveLinks + "\0{}"s, ""s}) {
        EXPECT_FALSE(SupportLinks::parse(document)) << document;
    }
}

TEST(SupportLinkTest, OpensOnlyHttpsLinksToAllowedHosts) {
    for (const char* url :
         {"https://paypal.com/donate", "https://www.paypal.com/donate?x=1#y", "https://a.b.ko-fi.com",
          "https://paypal.me:8443/path", "https://user@paypal.me/"}) {
        EXPECT_TRUE(SupportLinks::isOpenable(url)) << url;
    }
    for (const char* url :
         {"http://paypal.com/", "HTTPS://paypal.com/", "https://PAYPAL.com/", "https://notpaypal.com/",
          "https://paypal.com.evil.example/", "https://paypal.com@evil.example/",
          "https://evil.example/paypal.com", "https://evil.example\\@paypal.com/",
          "https://www%2epaypal.com/", "https:paypal.com", "https:///paypal.com", ""}) {
        EXPECT_FALSE(SupportLinks::isOpenable(url)) << url;
    }
}

/// The links that offering support from `root` opens on `answer`; none when nothing was shown.
std::optional<std::vector<std::string>> opens(const std::filesystem::path& root, AlertAnswer answer) {
    bool shown = false;
    std::vector<std::string> opened;
    Desktop desktop;
    desktop.runAlert = [&](const AlertSpec&) {
        shown = true;
        return answer;
    };
    desktop.openURL = [&](const std::string& url) { opened.push_back(url); };
    SupportLinks::offer(root / "SUPPORT.json", desktop);
    return shown ? std::optional(opened) : std::nullopt;
}

TEST(SupportChoiceTest, OpensTheSelectedLinkOnlyWhenAskedAndAllowed) {
    TempDir dir;
    EXPECT_EQ(opens(dir.path(), {1001, 2}), std::nullopt);
    dir.write("SUPPORT.json", fiveLinks);
    const std::pair<AlertAnswer, std::vector<std::string>> cases[] = {
        {{1001, 2}, {"https://paypal.me/x"}},
        {{1000, 2}, {}},
        {{1001, 3}, {}}, // not https
        {{1001, 4}, {}}, // no URL
        {{1001, 5}, {}},
        {{1001, std::nullopt}, {}},
    };
    for (const auto& [answer, opened] : cases) {
        EXPECT_EQ(opens(dir.path(), answer), opened)
            << answer.response << " " << answer.selectedItem.value_or(99);
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

using ClipboardRoute::Route;
using ClipboardRoute::WindowSystem;

// The helpers are faked: each answers as the table says and records that it was asked.
TEST(ClipboardRouteTest, TheWindowSystemDecidesAndAFailedHelperFallsBack) {
    struct Case {
        WindowSystem system;
        bool haveFocus, x11Holds, waylandHolds;
        Route route;
        std::string asked;
    };
    const Case cases[] = {
        {WindowSystem::x11, false, true, true, Route::x11Helper, "x"},
        {WindowSystem::x11, false, false, true, Route::toolkit, "xt"},
        {WindowSystem::wayland, false, true, true, Route::waylandHelper, "w"},
        {WindowSystem::wayland, true, true, false, Route::toolkit, "wt"},
        {WindowSystem::wayland, false, true, false, Route::focusedWindow, "wf"},
        {WindowSystem::other, false, true, true, Route::toolkit, "t"},
    };
    for (const auto& c : cases) {
        std::string asked;
        const ClipboardRoute::Copiers copiers{
            [&](const std::string& text) { return asked += "x", text == "json" && c.x11Holds; },
            [&](const std::string& text) { return asked += "w", text == "json" && c.waylandHolds; },
            [&](const std::string& text) { asked += text == "json" ? "t" : "?"; },
            [&](const std::string& text) { asked += text == "json" ? "f" : "?"; },
        };
        EXPECT_EQ(ClipboardRoute::copy("json", c.system, c.haveFocus, copiers), c.route) << asked;
        EXPECT_EQ(asked, c.asked);
    }
    // Without a helper the setup window copies from its own button, while it still has the focus.
    EXPECT_EQ(SetupWindow::alert("json").copyButton, (CopyButton{1, "json"}));
}

} // namespace
