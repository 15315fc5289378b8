#pragma once

#include "connect/choice.h"
#include "connect/records.h"
#include "connect/wait.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

/// How a connect attempt ended. The raw values are printed by the check mode.
enum class ConnectOutcome { opened, readyToConnect, alreadyConnected, cancelled, failed };

template <> struct RawValues<ConnectOutcome> {
    static constexpr std::array<std::string_view, 5> names = {"opened", "readyToConnect", "alreadyConnected",
                                                              "cancelled", "failed"};
};

/// The process exit status for an outcome: 0 when done, 3 when the user cancelled, 4 on failure.
constexpr std::int32_t exitCode(ConnectOutcome outcome) {
    switch (outcome) {
    case ConnectOutcome::cancelled:
        return 3;
    case ConnectOutcome::failed:
        return 4;
    default:
        return 0;
    }
}

/// True for the outcomes after which no further question is put to the user.
constexpr bool suppressesFurtherPrompts(ConnectOutcome outcome) {
    return outcome == ConnectOutcome::cancelled || outcome == ConnectOutcome::failed;
}

/// One connect attempt, decided over injected operations so that it runs the same against the desktop and
/// against fakes.
namespace ConnectFlow {

struct Dependencies {
    std::function<ConnectResult<ConnectDraft>()> readDraft;
    std::function<ConnectResult<BrokerHealth>(const ConnectDraft&)> verify;
    std::function<std::vector<std::string>()> installedBrowsers;
    /// An index into the choice's offeredNames, or none when the user declined.
    std::function<std::optional<std::int64_t>(const BrowserChoice&)> chooseBrowser;
    /// True when the browser named by its display name accepted the draft's pairing URL.
    std::function<bool(const ConnectDraft&, const std::string& browserName)> open;
    std::function<ConnectWait::Result(const ConnectDraft&)> waitForAttach;
};

/// Runs one attempt; `report`, when given, receives the problem that ends it, at most once, just before
/// the outcome is returned.
ConnectOutcome run(const Dependencies& dependencies, const std::function<void(ConnectProblem)>& report = {});

} // namespace ConnectFlow
