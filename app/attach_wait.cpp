#include "app/attach_wait.h"

#include "app/serial_worker.h"

#include <memory>
#include <optional>

namespace DesktopAttachWait {
namespace {

/// What the wait knows, read and written on the main thread only. Shared with the hand-overs that the
/// worker posts, which may still arrive after the wait has ended, when nothing reads it any more.
struct State {
    bool cancelledByUser = false;
    std::optional<bool> latestAnswer;
    bool verificationInFlight = false;
};

AlertSpec endAlert(std::string messageText, std::string informativeText, AlertStyle style) {
    AlertSpec spec;
    spec.messageText = std::move(messageText);
    spec.informativeText = std::move(informativeText);
    spec.buttons = {"Close"};
    spec.style = style;
    spec.activate = true;
    return spec;
}

} // namespace

AlertSpec attachedAlert() {
    return endAlert(
        "Chrome is connected",
        "The pairing page was opened and the extension is now attached. You can close this window.",
        AlertStyle::informational);
}

AlertSpec timedOutAlert() {
    return endAlert(
        "Waiting for the extension",
        "The pairing page was opened, but no extension has attached yet. Finish the pairing in the "
        "browser. Close this panel, then choose Try again to reopen the page.",
        AlertStyle::warning);
}

ConnectWait::Result run(const ConnectDraft& draft, const Environment& environment) {
    const Desktop& desktop = environment.desktop;
    const auto state = std::make_shared<State>();
    const auto closePanel = desktop.showProgressPanel([state] { state->cancelledByUser = true; });
    const auto handle = std::make_shared<ConnectProbeHandle>();

    std::optional<SerialWorker> ownWorker;
    Submit submit = environment.submit;
    if (!submit) {
        ownWorker.emplace(workerName);
        submit = [&ownWorker](std::function<void()> job) { ownWorker->submit(std::move(job)); };
    }

    const auto probe = [&] {
        if (state->latestAnswer == true) {
            return true;
        }
        if (!state->verificationInFlight) {
            state->verificationInFlight = true;
            submit([state, handle, draft, verify = environment.verify, post = desktop.postToMain] {
                const auto health = verify(draft, *handle);
                const bool attached = health && health->extensionConnected;
                post([state, attached] {
                    state->latestAnswer = attached;
                    state->verificationInFlight = false;
                });
            });
        }
        return false;
    };
    ConnectWait::Options options;
    options.timeout = timeoutSeconds;
    options.now = environment.now;
    options.sleep = desktop.runEventLoop;
    options.cancelled = [&] { return state->cancelledByUser || handle->isCancelled(); };
    options.probe = probe;
    const ConnectWait::Result result = ConnectWait::untilAttached(options);

    // Stops a verification that is still running, so that the worker is free to end with the wait.
    handle->cancel();
    ownWorker.reset();
    closePanel();

    if (state->cancelledByUser) {
        return ConnectWait::Result::cancelled;
    }
    if (result == ConnectWait::Result::attached) {
        desktop.runAlert(attachedAlert());
    } else if (result == ConnectWait::Result::timedOut) {
        desktop.runAlert(timedOutAlert());
    }
    return result;
}

} // namespace DesktopAttachWait
