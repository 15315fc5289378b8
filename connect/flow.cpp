#include "connect/flow.h"

namespace ConnectFlow {
namespace {

// How an attempt ends: its outcome, and the problem to report when there is one. Reporting happens in one
// place, after the attempt, so that it is never made twice.
struct Ending {
    ConnectOutcome outcome;
    std::optional<ConnectProblem> problem;
};

Ending failed(ConnectProblem problem) {
    return {ConnectOutcome::failed, problem};
}

Ending pairInBrowser(const Dependencies& dependencies, const std::string& browser) {
    // The session may have been rewritten while the user was choosing: the fresh draft is the one used.
    const auto draft = dependencies.readDraft();
    if (!draft) {
        return failed(draft.error());
    }
    if (const auto health = dependencies.verify(*draft); !health) {
        return failed(health.error());
    }
    if (!dependencies.open(*draft, browser)) {
        return failed(ConnectProblem::openFailed);
    }
    switch (dependencies.waitForAttach(*draft)) {
    case ConnectWait::Result::attached:
        return {ConnectOutcome::opened, std::nullopt};
    case ConnectWait::Result::cancelled:
        return {ConnectOutcome::cancelled, std::nullopt};
    case ConnectWait::Result::timedOut:
        break;
    }
    return failed(ConnectProblem::notAttached);
}

Ending attempt(const Dependencies& dependencies) {
    const auto draft = dependencies.readDraft();
    if (!draft) {
        return failed(draft.error());
    }
    const auto health = dependencies.verify(*draft);
    if (!health) {
        const bool cancelled = health.error() == ConnectProblem::cancelled;
        return {cancelled ? ConnectOutcome::cancelled : ConnectOutcome::failed, health.error()};
    }
    if (health->extensionConnected) {
        return {ConnectOutcome::alreadyConnected, std::nullopt};
    }
    const BrowserChoice choice = ConnectChoice::resolve(dependencies.installedBrowsers());
    if (choice.kind() == BrowserChoice::Kind::noneInstalled) {
        return failed(ConnectProblem::noSupportedBrowser);
    }
    const auto index = dependencies.chooseBrowser(choice);
    if (!index) {
        return {ConnectOutcome::cancelled, std::nullopt};
    }
    const auto& offered = choice.offeredNames();
    if (*index < 0 || static_cast<std::uint64_t>(*index) >= offered.size()) {
        return failed(ConnectProblem::noSupportedBrowser);
    }
    return pairInBrowser(dependencies, offered[static_cast<std::size_t>(*index)]);
}

} // namespace

ConnectOutcome run(const Dependencies& dependencies, const std::function<void(ConnectProblem)>& report) {
    const Ending ending = attempt(dependencies);
    if (ending.problem && report) {
        report(*ending.problem);
    }
    return ending.outcome;
}

} // namespace ConnectFlow
