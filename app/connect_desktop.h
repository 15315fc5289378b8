#pragma once

#include "app/attach_wait.h"
#include "app/desktop.h"
#include "connect/flow.h"
#include "connect/verifier.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

/// The desktop's side of a connect attempt: the browser prompts, the opening of the pairing page, and the
/// record of real operations that the connect flow decides over.
namespace ConnectDesktop {

/// How long the desktop may take to confirm that it launched the browser, and how often that is looked at.
inline constexpr double openTimeoutSeconds = 20;
inline constexpr double openPollSeconds = 0.05;

/// The prompt for `choice`: a confirmation for one browser, a picker for several.
AlertSpec browserPrompt(const BrowserChoice& choice);

/// The index into the choice's offered names that `answer` chose, or none when the user declined.
std::optional<std::int64_t> chosenIndex(const BrowserChoice& choice, const AlertAnswer& answer);

/// Opens `url` in the browser installed under `bundleIdentifier`: true when the desktop confirmed the launch
/// within openTimeoutSeconds, while the event loop turns. False at once when the browser is not installed
/// or the desktop reports a failure.
bool open(const Desktop& desktop, const std::string& url, const std::string& bundleIdentifier,
          const std::function<ConnectWait::Instant()>& now = &ConnectWait::Clock::now);

/// What every attempt of one connect mode shares.
struct Inputs {
    std::filesystem::path sessionPath;
    ConnectVerifier::Layout layout;
    std::vector<std::string> candidates;
    std::uint32_t uid = 0;
};

/// The real operations of one attempt, built afresh for each.
ConnectFlow::Dependencies productionDependencies(const Inputs& inputs, const Desktop& desktop);

} // namespace ConnectDesktop
