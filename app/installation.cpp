#include "app/installation.h"

#include "connect/ascii.h"

#include <algorithm>

namespace Installation {
namespace {

constexpr const char* launcherName = "tessaly-mcp";

} // namespace

std::optional<Layout> Layout::around(const std::filesystem::path& executable,
                                     const IsExecutableFile& isExecutableFile) {
    if (!executable.is_absolute() || !executable.has_filename()) {
        return std::nullopt;
    }
    Layout layout;
    layout.executable = executable;
    layout.bundle = executable.parent_path();
    layout.resourceRoot = FileChecks::withoutTrailingSeparator(layout.bundle).parent_path();
    layout.root = Installation::root(layout.resourceRoot, isExecutableFile);
    return layout;
}

ConnectVerifier::Layout Layout::verifier() const {
    return ConnectVerifier::Layout::standard(bundle);
}

ConnectVerifier::Layout Layout::presence() const {
    return ConnectVerifier::Layout::installed(resourceRoot, "presence.js");
}

std::filesystem::path Layout::launcher() const {
    return root / launcherName;
}

std::filesystem::path Layout::supportFile() const {
    return resourceRoot / "SUPPORT.json";
}

std::optional<Layout> current() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::nullopt;
    }
    return Layout::around(executable);
}

bool isReleaseFolderName(std::string_view name) {
    constexpr std::size_t digestLength = 64;
    constexpr std::size_t longestCounter = 15;
    if (!name.starts_with("r-")) {
        return false;
    }
    name.remove_prefix(2);
    const std::size_t dash = name.find('-');
    if (dash == std::string_view::npos || dash < 1 || dash > longestCounter || name.front() == '0') {
        return false;
    }
    const std::string_view counter = name.substr(0, dash);
    const std::string_view digest = name.substr(dash + 1);
    return std::all_of(counter.begin(), counter.end(), Ascii::isDigit) && digest.size() == digestLength &&
           std::all_of(digest.begin(), digest.end(), Ascii::isLowerHex);
}

std::filesystem::path root(const std::filesystem::path& resourceRoot,
                           const IsExecutableFile& isExecutableFile) {
    const std::filesystem::path release = FileChecks::withoutTrailingSeparator(resourceRoot);
    const std::filesystem::path releases = release.parent_path();
    if (releases.filename() != "releases" || !isReleaseFolderName(release.filename().string())) {
        return resourceRoot;
    }
    const std::filesystem::path candidate = releases.parent_path();
    return isExecutableFile(candidate / launcherName) ? candidate : resourceRoot;
}

} // namespace Installation
