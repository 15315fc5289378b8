#pragma once

#include "connect/file_checks.h"
#include "connect/raw_value.h"

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

/// The five ways the executable runs, in the order in which the command line is tested for them.
enum class Mode { pairingApproval, check, connect, menuBar, setupWindow };

template <> struct RawValues<Mode> {
    static constexpr std::array<std::string_view, 5> names = {"pairingApproval", "check", "connect",
                                                              "menuBar", "setupWindow"};
};

/// The mode selected by `arguments` (program path first). Unknown or misplaced arguments are never an
/// error: they fall through to the setup window.
Mode chooseMode(const std::vector<std::string>& arguments);

/// Where the companion's installation lies relative to this executable.
namespace Installation {

/// The running executable, or an empty path when the system does not say.
std::filesystem::path executablePath();

/// The folder that holds the running executable; it plays the part of the application bundle.
std::filesystem::path bundlePath();

/// The folder that holds the bundle, with the script runtime and the scripts.
std::filesystem::path resourceRoot(const std::filesystem::path& bundlePath);

/// True for a release folder name: "r-", a counter of 1 to 15 digits without a leading zero, "-", and 64
/// lowercase hexadecimal digits.
bool isReleaseFolderName(std::string_view name);

/// The companion's installation root: the folder above "releases" when `resourceRoot` is a release folder
/// and that folder holds an executable launcher, else `resourceRoot` itself. The executable test is a
/// parameter so the rule can be tested on paths alone.
std::filesystem::path root(
    const std::filesystem::path& resourceRoot,
    const std::function<bool(const std::filesystem::path&)>& isExecutableFile = FileChecks::isExecutableFile);

} // namespace Installation
