#include "connect/choice.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <utf8proc.h>

namespace {

// Names are compared in their composed canonical form, so that "é" typed two ways is one browser. Text that
// is not valid UTF-8 has no canonical form and is compared as it is.
std::string canonical(const std::string& name) {
    utf8proc_uint8_t* composed = nullptr;
    const auto length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(name.data()),
                                     static_cast<utf8proc_ssize_t>(name.size()), &composed,
                                     static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    const std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(composed, &std::free);
    if (length < 0) {
        return name;
    }
    return std::string(reinterpret_cast<const char*>(composed), static_cast<std::size_t>(length));
}

} // namespace

namespace ConnectChoice {

std::vector<std::string> candidates() {
    std::vector<std::string> names;
    names.reserve(supportedBrowsers.size());
    for (const auto& browser : supportedBrowsers) {
        names.emplace_back(browser.displayName);
    }
    return names;
}

std::vector<std::string>
installed(const std::vector<std::string>& candidates,
          const std::function<bool(const std::string& bundleIdentifier)>& isInstalled) {
    std::vector<std::string> found;
    std::copy_if(
        candidates.begin(), candidates.end(), std::back_inserter(found),
        [&](const std::string& name) { return isInstalled(ConfigurationBundle::bundleIdentifier(name)); });
    return found;
}

BrowserChoice resolve(const std::vector<std::string>& installed) {
    std::vector<std::string> names;
    std::vector<std::string> seen;
    for (const auto& name : installed) {
        std::string key = canonical(name);
        if (std::find(seen.begin(), seen.end(), key) == seen.end()) {
            seen.push_back(std::move(key));
            names.push_back(name);
        }
    }
    if (names.empty()) {
        return BrowserChoice::noneInstalled();
    }
    if (names.size() == 1) {
        return BrowserChoice::only(std::move(names.front()));
    }
    return BrowserChoice::choose(std::move(names));
}

} // namespace ConnectChoice

namespace ConfigurationBundle {

std::string bundleIdentifier(std::string_view browserName) {
    for (const auto& browser : supportedBrowsers) {
        if (browser.displayName == browserName) {
            return std::string(browser.bundleIdentifier);
        }
    }
    return std::string(browserName);
}

} // namespace ConfigurationBundle
