#pragma once

#include "app/attach_wait.h"
#include "app/desktop.h"
#include "app/pairing_page.h"
#include "connect/flow.h"
#include "connect/port_owners.h"
#include "connect/verifier.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

/// The desktop's side of a connect attempt: the browser prompts, the opening of the pairing page, and the
/// record of real operations that the connect flow decides over.
namespace ConnectDesktop {

/// The outer bound of an open, the launch included.
inline constexpr double openTimeoutSeconds = 20;
/// How long a launched browser is watched before its launch counts as a success: a program that fails at
/// once (a broken wrapper, a missing library, a sandbox that cannot start) has ended by then, while a
/// browser that is starting runs on. A browser handing the page to its running instance exits with 0, which
/// counts as a success whenever it comes.
inline constexpr double settleSeconds = 0.5;
/// How often the wait looks at the launched browser.
inline constexpr double openPollSeconds = 0.05;

/// The prompt for `choice`: a confirmation for one browser, a picker for several.
AlertSpec browserPrompt(const BrowserChoice& choice);

/// The index into the choice's offered names that `answer` chose, or none when the user declined.
std::optional<std::int64_t> chosenIndex(const BrowserChoice& choice, const AlertAnswer& answer);

/// Opens `url` in the browser installed under `bundleIdentifier` and watches the browser while the event
/// loop turns: true when it still runs after settleSeconds or has exited with status 0 by then; false at
/// once when it did not start, and false when it exited with another status or was killed by a signal.
bool open(const Desktop& desktop, const std::string& url, const std::string& bundleIdentifier,
          const std::function<ConnectWait::Instant()>& now = &ConnectWait::Clock::now);

/// What a browser is given for the pairing URL.
struct BrowserTarget {
    std::string url;
    /// The page behind `url`, removed when this goes; null when `url` is the pairing URL itself.
    std::unique_ptr<PairingPage::File> page;
};

/// A private page in `folder` that forwards to `pairURL`, for a browser that can read the folder; the
/// pairing URL itself for a confined browser, when there is no private folder, or when the page cannot be
/// written.
BrowserTarget target(const std::string& pairURL, bool sandboxed,
                     const std::optional<std::filesystem::path>& folder);

/// What every attempt of one connect mode shares.
struct Inputs {
    std::filesystem::path sessionPath;
    ConnectVerifier::Layout layout;
    std::vector<std::string> candidates;
    std::uint32_t uid = 0;
    /// The user's private folder for the pairing page, looked for at each open; none: no page.
    std::function<std::optional<std::filesystem::path>()> pageFolder;
    /// The kernel's TCP tables, asked once more right before the page opens: a port taken over by another
    /// user since the last verification must not receive the token.
    PortOwners::TableReader portTables = PortOwners::readSystemTables;
};

/// The real operations of one attempt, built afresh for each.
ConnectFlow::Dependencies productionDependencies(const Inputs& inputs, const Desktop& desktop);

} // namespace ConnectDesktop
