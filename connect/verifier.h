#pragma once

#include "connect/records.h"
#include "connect/runner.h"

#include <filesystem>
#include <string>

namespace ConnectVerifier {

/// Where the companion's script runtime and verifier script are.
struct Layout {
    std::string nodePath;
    std::string adapterPath;

    /// The installed layout: both beside the application bundle at `bundlePath`.
    static Layout standard(const std::filesystem::path& bundlePath);

    friend bool operator==(const Layout&, const Layout&) = default;
};

/// How long the verifier script may take.
inline constexpr double defaultTimeout = 8.0;

/// Asks the companion, through its verifier script, whether it answers for the draft's session and whether
/// an extension is attached. An empty `runner` means the real one, given `handle`; a supplied runner replaces
/// child processes altogether, so the layout's files are not checked and the handle is not passed to it.
ConnectResult<BrokerHealth> verify(const ConnectDraft& draft, const Layout& layout,
                                   double timeout = defaultTimeout, ConnectProbeHandle* handle = nullptr,
                                   const Runner& runner = {});

} // namespace ConnectVerifier
