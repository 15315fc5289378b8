#include "app/menu_bar.h"

#include "app/configuration_text.h"
#include "app/serial_worker.h"
#include "app/tray_display.h"

#include <memory>

ConnectMenuTarget& ConnectMenuTarget::shared() {
    static ConnectMenuTarget target;
    return target;
}

namespace MenuBar {
namespace {

/// The flag that keeps one probe at a time; read and written on the main thread only.
struct Refresh {
    bool inFlight = false;
};

} // namespace

Paths Paths::of(const Installation::Layout& layout) {
    return {layout.presence(), ConfigurationText::statusItemCommand(layout)};
}

int run(const Environment& environment) {
    const Desktop& desktop = environment.desktop;
    const auto handle = std::make_shared<ConnectProbeHandle>();
    const auto refresh = std::make_shared<Refresh>();
    auto probe = environment.probe;
    if (!probe) {
        probe = [paths = environment.paths](ConnectProbeHandle& probeHandle) {
            return Presence::probe(paths.presence.nodePath, paths.presence.adapterPath, probeHandle);
        };
    }

    ConnectMenuTarget& target = ConnectMenuTarget::shared();
    const auto show = desktop.createTray(TrayDisplayRules::initial(), target);
    if (!desktop.trayAvailable() && environment.noTrayYet) {
        environment.noTrayYet();
    }
    SerialWorker worker(workerName);
    const auto tick = [&] {
        // A tick that finds a probe in flight is dropped, not queued: one probe at a time.
        if (refresh->inFlight) {
            return;
        }
        refresh->inFlight = true;
        worker.submit([=, post = desktop.postToMain] {
            auto report = probe(*handle);
            post([=, report = std::move(report)] {
                // After Quit nothing more is shown, though the flag is still cleared.
                if (!handle->isCancelled()) {
                    show(TrayDisplayRules::forReport(report));
                }
                refresh->inFlight = false;
            });
        });
    };
    target.handler = environment.startConnect;
    target.configHandler = [&desktop, command = environment.paths.command] {
        desktop.copyText(ConfigurationText::statusItemSnippet(command));
    };
    target.quitHandler = [&desktop, handle] {
        handle->cancel();
        desktop.quit();
    };
    tick();
    desktop.startTimer(refreshSeconds, tick);
    desktop.runUntilQuit();
    handle->cancel();
    target = {};
    return 0;
}

} // namespace MenuBar
