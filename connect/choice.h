#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

/// Which installed browsers the user is offered: none, exactly one to confirm, or several to pick from.
class BrowserChoice {
  public:
    enum class Kind { only, choose, noneInstalled };

    static BrowserChoice only(std::string name) { return BrowserChoice(Kind::only, {std::move(name)}); }
    /// `names` holds at least two distinct names; ConnectChoice::resolve makes sure of it.
    static BrowserChoice choose(std::vector<std::string> names) {
        return BrowserChoice(Kind::choose, std::move(names));
    }
    static BrowserChoice noneInstalled() { return BrowserChoice(Kind::noneInstalled, {}); }

    Kind kind() const { return kind_; }
    /// The names that the index returned by a browser prompt refers to.
    const std::vector<std::string>& offeredNames() const { return names_; }
    bool requiresChoice() const { return kind_ == Kind::choose; }

    friend bool operator==(const BrowserChoice&, const BrowserChoice&) = default;

  private:
    BrowserChoice(Kind kind, std::vector<std::string> names) : kind_(kind), names_(std::move(names)) {}

    Kind kind_;
    std::vector<std::string> names_;
};

struct SupportedBrowser {
    std::string_view displayName;
    std::string_view bundleIdentifier;
};

/// The supported browsers, most preferred first.
inline constexpr std::array<SupportedBrowser, 6> supportedBrowsers{{
    {"Google Chrome", "com.google.Chrome"},
    {"Chromium", "org.chromium.Chromium"},
    {"Microsoft Edge", "com.microsoft.edgemac"},
    {"Brave Browser", "com.brave.Browser"},
    {"Opera", "com.operasoftware.Opera"},
    {"Vivaldi", "com.vivaldi.Vivaldi"},
}};

namespace ConnectChoice {

/// The display names of the supported browsers in preference order: what the installed-browser lookup asks
/// for.
std::vector<std::string> candidates();

/// The candidates for which `isInstalled` answers true when given their bundle identifier, in candidate
/// order. The test is a parameter because how a platform knows its applications is the desktop's business.
std::vector<std::string>
installed(const std::vector<std::string>& candidates,
          const std::function<bool(const std::string& bundleIdentifier)>& isInstalled);

/// The choice to put to the user: repetitions dropped (canonically equivalent names are the same name),
/// first occurrences kept in the order given.
BrowserChoice resolve(const std::vector<std::string>& installed);

} // namespace ConnectChoice

namespace ConfigurationBundle {

/// The bundle identifier of a supported browser's display name (exact, case-sensitive); any other text is
/// returned unchanged, so a bundle identifier may be passed directly.
std::string bundleIdentifier(std::string_view browserName);

} // namespace ConfigurationBundle
