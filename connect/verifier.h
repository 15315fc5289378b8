#pragma once

#include "connect/port_owners.h"
#include "connect/records.h"
#include "connect/runner.h"

#include <filesystem>
#include <string>

namespace ConnectVerifier {

/// Where the companion's script runtime is, and the script it runs.
struct Layout {
    std::string nodePath;
    std::string adapterPath;

    /// The runtime and the script `scriptName` as the companion installs them in `resourceRoot`.
    static Layout installed(const std::filesystem::path& resourceRoot, const std::string& scriptName);
    /// The verifier script as installed beside the application bundle at `bundlePath`.
    static Layout standard(const std::filesystem::path& bundlePath);
    /// True when the runtime is an executable file and the script exists. Never true for relative paths:
    /// whatever the working folder holds is not the companion's.
    bool usable() const;

    friend bool operator==(const Layout&, const Layout&) = default;
};

/// How long the verifier script may take.
inline constexpr double defaultTimeout = 8.0;

/// Asks the companion, through its verifier script, whether it answers for the draft's session and whether
/// an extension is attached. An empty `runner` means the real one, given `handle`; a supplied runner replaces
/// child processes altogether, so the layout's files are not checked and the handle is not passed to it.
/// When `tables` show a user other than the current one listening at the draft's port, the answer is
/// wrongService and the script is not run: the token is never handed to someone else's server.
ConnectResult<BrokerHealth> verify(const ConnectDraft& draft, const Layout& layout,
                                   double timeout = defaultTimeout, ConnectProbeHandle* handle = nullptr,
                                   const Runner& runner = {},
                                   const PortOwners::TableReader& tables = PortOwners::readSystemTables);

} // namespace ConnectVerifier
