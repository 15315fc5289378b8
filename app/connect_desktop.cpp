#include "app/connect_desktop.h"

#include "connect/session.h"

#include <algorithm>
#include <chrono>
#include <memory>

namespace ConnectDesktop {

AlertSpec browserPrompt(const BrowserChoice& choice) {
    AlertSpec spec;
    spec.activate = true;
    if (choice.requiresChoice()) {
        spec.messageText = "Which browser?";
        spec.informativeText =
            "Choose the browser where you installed the extension, and make sure you use the "
            "profile that has it.";
        spec.buttons = {"Cancel", "Open"};
        spec.accessory = PopUpAccessory{320, 28, choice.offeredNames(), 0};
        return spec;
    }
    const auto& names = choice.offeredNames();
    spec.messageText =
        "Open the pairing page in " + (names.empty() ? std::string("the browser") : names.front()) + "?";
    spec.informativeText =
        "The pairing token stays in the address fragment and never reaches the local server. "
        "Nothing is remembered unless you separately approve a request afterwards.";
    spec.buttons = {"Cancel", "Open pairing page"};
    return spec;
}

std::optional<std::int64_t> chosenIndex(const BrowserChoice& choice, const AlertAnswer& answer) {
    if (answer.response != firstButtonResponse + 1) {
        return std::nullopt;
    }
    if (!choice.requiresChoice()) {
        return 0;
    }
    return answer.selectedItem ? std::optional<std::int64_t>(static_cast<std::int64_t>(*answer.selectedItem))
                               : std::nullopt;
}

bool open(const Desktop& desktop, const std::string& url, const std::string& bundleIdentifier,
          const std::function<ConnectWait::Instant()>& now) {
    const auto seconds = [](double value) {
        return std::chrono::duration_cast<ConnectWait::Clock::duration>(std::chrono::duration<double>(value));
    };
    const auto began = now();
    // Told on this thread while the loop turns, possibly after this open has given up watching: shared.
    const auto ended = std::make_shared<std::optional<ProcessEnd>>();
    if (!desktop.launchBrowser(url, bundleIdentifier, [ended](ProcessEnd end) { *ended = end; })) {
        return false;
    }
    const auto settled = std::min(now() + seconds(settleSeconds), began + seconds(openTimeoutSeconds));
    while (!ended->has_value() && now() < settled) {
        desktop.runEventLoop(openPollSeconds);
    }
    return !ended->has_value() || (!(*ended)->signalled && (*ended)->code == 0);
}

BrowserTarget target(const std::string& pairURL, bool sandboxed,
                     const std::optional<std::filesystem::path>& folder) {
    if (!sandboxed && folder) {
        if (auto page = PairingPage::write(*folder, pairURL)) {
            std::string url = page->url();
            return {std::move(url), std::move(page)};
        }
    }
    return {pairURL, nullptr};
}

ConnectFlow::Dependencies productionDependencies(const Inputs& inputs, const Desktop& desktop) {
    ConnectFlow::Dependencies dependencies;
    dependencies.readDraft = [inputs] {
        return ConnectSession::readDraft(inputs.sessionPath.string(), inputs.uid);
    };
    dependencies.verify = [layout = inputs.layout](const ConnectDraft& draft) {
        return ConnectVerifier::verify(draft, layout);
    };
    dependencies.installedBrowsers = [candidates = inputs.candidates, desktop] {
        return ConnectChoice::installed(candidates, desktop.isBrowserInstalled);
    };
    dependencies.chooseBrowser = [desktop](const BrowserChoice& choice) {
        return chosenIndex(choice, desktop.runAlert(browserPrompt(choice)));
    };
    // The page of the attempt's open lasts as long as its wait, or as the attempt when there is no wait.
    const auto page = std::make_shared<std::unique_ptr<PairingPage::File>>();
    dependencies.open = [desktop, page, inputs](const ConnectDraft& draft, const std::string& browserName) {
        if (PortOwners::heldByAnotherUser(draft.port, inputs.uid, inputs.portTables)) {
            return false;
        }
        const std::string identifier = ConfigurationBundle::bundleIdentifier(browserName);
        auto chosen = target(std::string(draft.pairURL.buffer()), desktop.isBrowserSandboxed(identifier),
                             inputs.pageFolder ? inputs.pageFolder() : std::nullopt);
        *page = std::move(chosen.page);
        const bool opened = open(desktop, chosen.url, identifier);
        if (!opened) {
            page->reset();
        }
        return opened;
    };
    dependencies.waitForAttach = [layout = inputs.layout, desktop, page](const ConnectDraft& draft) {
        DesktopAttachWait::Environment environment;
        environment.desktop = desktop;
        environment.verify = [layout](const ConnectDraft& waited, ConnectProbeHandle& handle) {
            return ConnectVerifier::verify(waited, layout, ConnectVerifier::defaultTimeout, &handle);
        };
        const auto result = DesktopAttachWait::run(draft, environment);
        page->reset();
        return result;
    };
    return dependencies;
}

} // namespace ConnectDesktop
