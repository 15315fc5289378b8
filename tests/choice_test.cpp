#include "connect/choice.h"

#include <gtest/gtest.h>

namespace {

using ConnectChoice::resolve;

TEST(BrowserChoiceTest, ResolveKeepsFirstOccurrencesInOrder) {
    EXPECT_EQ(resolve({}), BrowserChoice::noneInstalled());
    EXPECT_TRUE(resolve({}).offeredNames().empty());
    EXPECT_FALSE(resolve({}).requiresChoice());
    EXPECT_EQ(resolve({"Opera"}), BrowserChoice::only("Opera"));
    EXPECT_EQ(resolve({"Opera"}).offeredNames(), std::vector<std::string>{"Opera"});
    EXPECT_FALSE(resolve({"Opera"}).requiresChoice());
    EXPECT_EQ(resolve({"Opera", "Opera"}), BrowserChoice::only("Opera"));
    const auto several = resolve({"Vivaldi", "Google Chrome", "Vivaldi"});
    EXPECT_EQ(several, BrowserChoice::choose({"Vivaldi", "Google Chrome"}));
    EXPECT_TRUE(several.requiresChoice());
    EXPECT_NE(BrowserChoice::choose({"A", "B"}), BrowserChoice::choose({"B", "A"}));
    EXPECT_NE(BrowserChoice::only("Opera"), BrowserChoice::choose({"Opera"}));
}

TEST(BrowserChoiceTest, CanonicallyEquivalentNamesAreOneBrowser) {
    const std::string composed = "Caf\xC3\xA9";    // e with acute accent as one code point
    const std::string decomposed = "Cafe\xCC\x81"; // e followed by a combining acute accent
    EXPECT_EQ(resolve({composed, decomposed}), BrowserChoice::only(composed));
    EXPECT_EQ(resolve({"Opera", "opera"}), BrowserChoice::choose({"Opera", "opera"}));
    const std::string invalid = "\xff\xfe";
    EXPECT_EQ(resolve({invalid, invalid, "Opera"}), BrowserChoice::choose({invalid, "Opera"}));
}

TEST(BrowserChoiceTest, BundleIdentifiersAndInstalledLookup) {
    using ConfigurationBundle::bundleIdentifier;
    EXPECT_EQ(bundleIdentifier("Microsoft Edge"), "com.microsoft.edgemac");
    EXPECT_EQ(bundleIdentifier("microsoft edge"), "microsoft edge");
    EXPECT_EQ(bundleIdentifier("com.google.Chrome"), "com.google.Chrome");
    EXPECT_EQ(bundleIdentifier(""), "");

    std::vector<std::string> asked;
    const auto installed = ConnectChoice::installed(ConnectChoice::candidates(), [&](const std::string& id) {
        asked.push_back(id);
        return id == "com.brave.Browser" || id == "org.chromium.Chromium";
    });
    EXPECT_EQ(installed, (std::vector<std::string>{"Chromium", "Brave Browser"}));
    EXPECT_EQ(asked.size(), 6u);
    EXPECT_EQ(asked.front(), "com.google.Chrome");
}

} // namespace
