#pragma once

#include "connect/file_checks.h"
#include "connect/verifier.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

/// Where the companion's installation lies around this executable. Derived once, from the executable's own
/// path, and handed to the mode that runs, so that every path of the installation is made in one place.
namespace Installation {

using IsExecutableFile = std::function<bool(const std::filesystem::path&)>;

struct Layout {
    /// The running executable.
    std::filesystem::path executable;
    /// The folder that holds it, with the window-system module and the clipboard helpers; it plays the part
    /// of the application bundle.
    std::filesystem::path bundle;
    /// The folder that holds the bundle, the script runtime, the scripts and SUPPORT.json.
    std::filesystem::path resourceRoot;
    /// The companion's installation root, which holds its launcher: the folder above "releases" when
    /// `resourceRoot` is a release folder of an installation with a launcher, else `resourceRoot`.
    std::filesystem::path root;

    /// The layout around `executable`, an absolute path; none for any other path, so that nothing is ever
    /// looked for relative to the working folder. The executable test is a parameter so the rule can be
    /// tested on paths alone.
    static std::optional<Layout>
    around(const std::filesystem::path& executable,
           const IsExecutableFile& isExecutableFile = FileChecks::isExecutableFile);

    /// The runtime and the verifier script.
    ConnectVerifier::Layout verifier() const;
    /// The runtime and the presence script.
    ConnectVerifier::Layout presence() const;
    /// The companion's launcher that an MCP client configuration names.
    std::filesystem::path launcher() const;
    std::filesystem::path supportFile() const;

    friend bool operator==(const Layout&, const Layout&) = default;
};

/// The layout of the running program; none when the system does not say where its executable is.
std::optional<Layout> current();

/// True for a release folder name: "r-", a counter of 1 to 15 digits without a leading zero, "-", and 64
/// lowercase hexadecimal digits.
bool isReleaseFolderName(std::string_view name);

/// The companion's installation root for `resourceRoot`: the folder above "releases" when `resourceRoot` is a
/// release folder and that folder holds an executable launcher, else `resourceRoot` itself.
std::filesystem::path root(const std::filesystem::path& resourceRoot,
                           const IsExecutableFile& isExecutableFile = FileChecks::isExecutableFile);

} // namespace Installation
