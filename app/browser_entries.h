#pragma once

#include <array>
#include <span>
#include <string_view>

/// The desktop entries under which each supported browser is installed on Linux: by the distribution, by
/// the vendor's own package, by Flatpak and by Snap. One table, so that a new packaging is added in one
/// place.
namespace BrowserEntries {

struct Browser {
    std::string_view bundleIdentifier;
    /// In the order they are tried: the first that the desktop knows is the one launched.
    std::span<const std::string_view> desktopIds;
};

namespace detail {
inline constexpr std::array<std::string_view, 2> chrome = {"google-chrome.desktop",
                                                           "com.google.Chrome.desktop"};
inline constexpr std::array<std::string_view, 4> chromium = {"chromium.desktop", "chromium-browser.desktop",
                                                             "org.chromium.Chromium.desktop",
                                                             "chromium_chromium.desktop"};
inline constexpr std::array<std::string_view, 2> edge = {"microsoft-edge.desktop",
                                                         "com.microsoft.Edge.desktop"};
inline constexpr std::array<std::string_view, 3> brave = {"brave-browser.desktop",
                                                          "com.brave.Browser.desktop", "brave_brave.desktop"};
inline constexpr std::array<std::string_view, 3> opera = {"opera.desktop", "com.opera.Opera.desktop",
                                                          "opera_opera.desktop"};
inline constexpr std::array<std::string_view, 3> vivaldi = {
    "vivaldi-stable.desktop", "com.vivaldi.Vivaldi.desktop", "vivaldi_vivaldi-stable.desktop"};
} // namespace detail

inline constexpr std::array<Browser, 6> browsers{{
    {"com.google.Chrome", detail::chrome},
    {"org.chromium.Chromium", detail::chromium},
    {"com.microsoft.edgemac", detail::edge},
    {"com.brave.Browser", detail::brave},
    {"com.operasoftware.Opera", detail::opera},
    {"com.vivaldi.Vivaldi", detail::vivaldi},
}};

/// The desktop entries of the browser with `bundleIdentifier`; none for any other text.
constexpr std::span<const std::string_view> desktopIds(std::string_view bundleIdentifier) {
    for (const auto& browser : browsers) {
        if (browser.bundleIdentifier == bundleIdentifier) {
            return browser.desktopIds;
        }
    }
    return {};
}

} // namespace BrowserEntries
