#include "app/browser_entries.h"
#include "app/connect_desktop.h"
#include "app/private_folder.h"
#include "tests/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

/// The text between `before` and the next `after` in `page`, or "<missing>".
std::string between(const std::string& page, const std::string& before, const std::string& after) {
    const auto start = page.find(before);
    const auto end = start == std::string::npos ? start : page.find(after, start + before.size());
    return end == std::string::npos ? "<missing>"
                                    : page.substr(start + before.size(), end - start - before.size());
}

std::string fromHTML(std::string text) {
    for (const auto& [entity, c] :
         {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}}) {
        for (auto at = text.find(entity); at != std::string::npos; at = text.find(entity, at + 1)) {
            text.replace(at, std::string(entity).size(), c);
        }
    }
    return text;
}

/// `text` with each `escape` ("\\u00" in the page's script string, where another backslash shows up as a
/// difference; "%" in a URL) and the two hex digits after it as the byte they name.
std::string unescaped(const std::string& text, const std::string& escape) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool escaped =
            text.compare(i, escape.size(), escape) == 0 && i + escape.size() + 2 <= text.size();
        out +=
            escaped ? static_cast<char>(std::stoi(text.substr(i + escape.size(), 2), nullptr, 16)) : text[i];
        i += escaped ? escape.size() + 1 : 0;
    }
    return out;
}

TEST(PairingPageTest, ForwardsToTheExactURLWhateverTheTokenHolds) {
    const std::string base = "http://127.0.0.1:5000/pair#token=";
    for (const std::string token : {"Ab-_9~.x", "\"</script><script>alert(1)</script>", "';alert(1);//\\",
                                    "&quot;&amp;<!--<script>", "`${x}`\\u0022", "%22%3C%00", "]]>?&a=b#c"}) {
        const std::string url = base + token;
        const auto page = PairingPage::html(url);
        ASSERT_TRUE(page) << token;
        // One script element, and both forwards and the link reach the URL unchanged.
        EXPECT_EQ(page->find("<script"), page->rfind("<script")) << *page;
        EXPECT_EQ(page->find("</script"), page->rfind("</script")) << *page;
        EXPECT_EQ(fromHTML(between(*page, "http-equiv=\"refresh\" content=\"", "\"")), "0;url=" + url);
        EXPECT_EQ(unescaped(between(*page, "<script>location.replace(\"", "\");</script>"), "\\u00"), url);
        EXPECT_EQ(fromHTML(between(*page, "<a href=\"", "\"")), url);
        EXPECT_NE(page->find("<meta name=\"referrer\" content=\"no-referrer\">"), std::string::npos);
    }
    for (const std::string& refused :
         {std::string(), base + "a b", base + "a\nb", base + "\xC3\xA9", base + "\x7F"}) {
        EXPECT_EQ(PairingPage::html(refused), std::nullopt) << refused;
    }
}

TEST(PairingPageTest, OnlyABrowserThatCanReadThePrivateFolderGetsAPageThatGoesWithTheAttempt) {
    const TempDir temp;
    // A folder name that a file URL must escape: a '#' or '?' left as it is would cut the path short.
    const auto runtime = temp.path() / "run time#%?";
    ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
    const auto folder = PrivateFolder::forUser(
        [&](const char* name) { return std::string(name) == "XDG_RUNTIME_DIR" ? runtime.c_str() : nullptr; },
        ::getuid(), PrivateFolder::Fallback::cache, "/nonexistent");
    ASSERT_TRUE(folder);
    const std::string url = "http://127.0.0.1:5000/pair#token=secret";
    const std::tuple<bool, std::optional<std::filesystem::path>, std::string, bool> cases[] = {
        {false, folder, url, true},
        {true, folder, url, false},                   // Flatpak or Snap cannot read it
        {false, std::nullopt, url, false},            // no private folder
        {false, temp.path() / "missing", url, false}, // the page cannot be written
        {false, folder, url + " spaced", false},      // nor made to forward unchanged
    };
    for (const auto& [sandboxed, pageFolder, given, page] : cases) {
        auto target = ConnectDesktop::target(given, sandboxed, pageFolder);
        ASSERT_EQ(target.page != nullptr, page) << given;
        if (!page) {
            EXPECT_EQ(target.url, given);
            continue;
        }
        const auto path = target.page->path();
        EXPECT_EQ(path.parent_path(), *folder);
        EXPECT_EQ(std::filesystem::symlink_status(path).permissions(), std::filesystem::perms(0600));
        EXPECT_EQ(std::filesystem::symlink_status(*folder).permissions(), std::filesystem::perms(0700));
        EXPECT_EQ(target.url.find_first_of(" #?"), std::string::npos) << target.url;
        EXPECT_EQ(unescaped(target.url, "%"), "file://" + path.string());
        EXPECT_EQ(temp.read(path), PairingPage::html(url));
        target.page.reset();
        EXPECT_FALSE(std::filesystem::exists(path));
        // Every attempt a page of its own: the name is not derived from anything another user could know.
        EXPECT_NE(ConnectDesktop::target(url, false, folder).page->path(),
                  ConnectDesktop::target(url, false, folder).page->path());
    }
    EXPECT_TRUE(std::filesystem::is_empty(*folder));
}

TEST(BrowserEntriesTest, ConfinedByPackagingKeyOrWhereTheEntryLies) {
    using enum BrowserEntries::Packaging;
    const std::pair<BrowserEntries::Found, bool> cases[] = {
        {{native, "/usr/share/applications/chromium.desktop", false}, false},
        {{flatpak, "/usr/share/applications/org.chromium.Chromium.desktop", false}, true},
        {{snap, "/usr/share/applications/chromium_chromium.desktop", false}, true},
        {{native, "/home/u/.local/share/applications/chromium.desktop", true}, true},
        {{native, "/var/lib/flatpak/exports/share/applications/chromium.desktop", false}, true},
        {{native, "/home/u/.local/share/flatpak/exports/share/applications/chromium.desktop", false}, true},
        {{native, "/var/lib/snapd/desktop/applications/chromium.desktop", false}, true},
    };
    for (const auto& [found, confined] : cases) {
        EXPECT_EQ(BrowserEntries::isConfined(found), confined) << found.fileName;
    }
}

} // namespace
