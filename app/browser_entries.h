#pragma once

#include <array>
#include <span>
#include <string_view>

/// The desktop entries under which each supported browser is installed on Linux: by the distribution, by
/// the vendor's own package, by Flatpak and by Snap. One table, so that a new packaging is added in one
/// place.
namespace BrowserEntries {

/// Who installed a browser's entry. Flatpak and Snap run the browser confined: it cannot read the user's
/// runtime folder or cache, so a page of ours there is out of its reach.
enum class Packaging { native, flatpak, snap };

struct Entry {
    std::string_view desktopId;
    Packaging packaging;
};

struct Browser {
    std::string_view bundleIdentifier;
    /// In the order they are tried: the first that the desktop knows is the one launched.
    std::span<const Entry> entries;
};

namespace detail {
using enum Packaging;
inline constexpr std::array<Entry, 2> chrome = {
    {{"google-chrome.desktop", native}, {"com.google.Chrome.desktop", flatpak}}};
inline constexpr std::array<Entry, 4> chromium = {{{"chromium.desktop", native},
                                                   {"chromium-browser.desktop", native},
                                                   {"org.chromium.Chromium.desktop", flatpak},
                                                   {"chromium_chromium.desktop", snap}}};
inline constexpr std::array<Entry, 2> edge = {
    {{"microsoft-edge.desktop", native}, {"com.microsoft.Edge.desktop", flatpak}}};
inline constexpr std::array<Entry, 3> brave = {{{"brave-browser.desktop", native},
                                                {"com.brave.Browser.desktop", flatpak},
                                                {"brave_brave.desktop", snap}}};
inline constexpr std::array<Entry, 3> opera = {
    {{"opera.desktop", native}, {"com.opera.Opera.desktop", flatpak}, {"opera_opera.desktop", snap}}};
inline constexpr std::array<Entry, 3> vivaldi = {{{"vivaldi-stable.desktop", native},
                                                  {"com.vivaldi.Vivaldi.desktop", flatpak},
                                                  {"vivaldi_vivaldi-stable.desktop", snap}}};
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
constexpr std::span<const Entry> entries(std::string_view bundleIdentifier) {
    for (const auto& browser : browsers) {
        if (browser.bundleIdentifier == bundleIdentifier) {
            return browser.entries;
        }
    }
    return {};
}

/// What the desktop knows of the entry it found for a browser.
struct Found {
    /// The packaging the table gives the entry's ID.
    Packaging packaging = Packaging::native;
    /// The entry's file.
    std::string_view fileName;
    /// Whether it carries a key that Flatpak (X-Flatpak) or Snap (X-SnapInstanceName) writes into the
    /// entries it exports.
    bool hasConfinementKey = false;
};

/// True when the entry starts a confined browser: its ID is a Flatpak or Snap one, it carries a key of
/// theirs, or its file lies where they export entries, whatever its ID.
constexpr bool isConfined(const Found& found) {
    return found.packaging != Packaging::native || found.hasConfinementKey ||
           found.fileName.find("/flatpak/exports/share/applications/") != std::string_view::npos ||
           found.fileName.starts_with("/var/lib/snapd/desktop/applications/");
}

} // namespace BrowserEntries
