#include "app/connect_desktop.h"

#include "connect/session.h"

#include <atomic>
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
    // Written by the launch's completion, possibly on another thread, and possibly after this wait has given
    // up; so shared, and published with release and read with acquire: the outcome before the "done".
    struct Flags {
        std::atomic<bool> succeeded{false};
        std::atomic<bool> done{false};
    };
    const auto flags = std::make_shared<Flags>();
    const bool launched = desktop.launchBrowser(url, bundleIdentifier, [flags](bool succeeded) {
        flags->succeeded.store(succeeded, std::memory_order_relaxed);
        flags->done.store(true, std::memory_order_release);
    });
    if (!launched) {
        return false;
    }
    const auto deadline = now() + std::chrono::duration_cast<ConnectWait::Clock::duration>(
                                      std::chrono::duration<double>(openTimeoutSeconds));
    while (!flags->done.load(std::memory_order_acquire) && now() < deadline) {
        desktop.runEventLoop(openPollSeconds);
    }
    return flags->done.load(std::memory_order_acquire) && flags->succeeded.load(std::memory_order_relaxed);
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
    dependencies.open = [desktop](const ConnectDraft& draft, const std::string& browserName) {
        // The whole URL, token and all, goes to the browser and nowhere else.
        return open(desktop, std::string(draft.pairURL.buffer()),
                    ConfigurationBundle::bundleIdentifier(browserName));
    };
    dependencies.waitForAttach = [layout = inputs.layout, desktop](const ConnectDraft& draft) {
        DesktopAttachWait::Environment environment;
        environment.desktop = desktop;
        environment.verify = [layout](const ConnectDraft& waited, ConnectProbeHandle& handle) {
            return ConnectVerifier::verify(waited, layout, ConnectVerifier::defaultTimeout, &handle);
        };
        return DesktopAttachWait::run(draft, environment);
    };
    return dependencies;
}

} // namespace ConnectDesktop
