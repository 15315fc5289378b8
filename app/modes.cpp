#include "app/modes.h"

#include <algorithm>

Mode chooseMode(const std::vector<std::string>& arguments) {
    const auto has = [&](std::string_view word) {
        return std::find(arguments.begin(), arguments.end(), word) != arguments.end();
    };
    const std::string_view first =
        arguments.size() >= 2 ? std::string_view(arguments[1]) : std::string_view();
    if (first == "--pairing-approval") {
        return Mode::pairingApproval;
    }
    if (first == "--connect") {
        return has("--check") ? Mode::check : Mode::connect;
    }
    if (has("--menubar")) {
        return Mode::menuBar;
    }
    return Mode::setupWindow;
}

namespace Installation {
namespace {

bool isLowerHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

std::filesystem::path executablePath() {
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : executable;
}

std::filesystem::path bundlePath() {
    return executablePath().parent_path();
}

std::filesystem::path resourceRoot(const std::filesystem::path& bundlePath) {
    return FileChecks::withoutTrailingSeparator(bundlePath).parent_path();
}

bool isReleaseFolderName(std::string_view name) {
    constexpr std::size_t digestLength = 64;
    if (!name.starts_with("r-")) {
        return false;
    }
    name.remove_prefix(2);
    const std::size_t dash = name.find('-');
    if (dash == std::string_view::npos || dash < 1 || dash > 15 || name.front() == '0') {
        return false;
    }
    const std::string_view counter = name.substr(0, dash);
    const std::string_view digest = name.substr(dash + 1);
    return std::all_of(counter.begin(), counter.end(), isDigit) && digest.size() == digestLength &&
           std::all_of(digest.begin(), digest.end(), isLowerHex);
}

std::filesystem::path root(const std::filesystem::path& resourceRoot,
                           const std::function<bool(const std::filesystem::path&)>& isExecutableFile) {
    const std::filesystem::path release = FileChecks::withoutTrailingSeparator(resourceRoot);
    const std::filesystem::path releases = release.parent_path();
    if (releases.filename() != "releases" || !isReleaseFolderName(release.filename().string())) {
        return resourceRoot;
    }
    const std::filesystem::path candidate = releases.parent_path();
    return isExecutableFile(candidate / "tessaly-mcp") ? candidate : resourceRoot;
}

} // namespace Installation
