#include "app/window_modes.h"

#include "app/child_reaper.h"
#include "app/configuration_text.h"
#include "app/connect_desktop.h"
#include "app/connect_mode.h"
#include "app/desktop_module.h"
#include "app/launch.h"
#include "app/menu_bar.h"
#include "app/output.h"
#include "app/pairing.h"
#include "app/private_folder.h"
#include "app/setup_window.h"
#include "app/single_instance.h"
#include "app/support.h"
#include "connect/environment.h"
#include "connect/session.h"

#include <memory>
#include <unistd.h>

namespace WindowModes {
namespace {

DesktopStartRequest startRequest(const Installation::Layout& layout, Arguments arguments, int noDisplayStatus,
                                 std::string noDisplayMessage = {}) {
    DesktopStartRequest request;
    request.argc = &arguments.argc;
    request.argv = arguments.argv;
    request.bundlePath = layout.bundle;
    request.noDisplayStatus = noDisplayStatus;
    request.noDisplayMessage = std::move(noDisplayMessage);
    return request;
}

/// Starts the window system for a mode that tells the user why it cannot show anything: one line on
/// standard error ("tessaly-setup: cannot <purpose>: ..."), after which the mode ends with `status`.
/// Answers null in that case.
std::unique_ptr<DesktopSession> startOrExplain(const std::optional<Installation::Layout>& layout,
                                               Arguments arguments, int status, const std::string& purpose) {
    const std::string cannot = "tessaly-setup: cannot " + purpose + ": ";
    const std::string noDisplay = cannot + "no display is available";
    if (!layout) {
        writeAll(STDERR_FILENO, cannot + "the program's own folder is unknown\n");
        return nullptr;
    }
    auto session = DesktopModule::start(startRequest(*layout, arguments, status, noDisplay));
    if (session) {
        return std::move(*session);
    }
    const auto& failure = session.error();
    writeAll(STDERR_FILENO,
             (failure.kind == DesktopModule::Failure::Kind::noDisplay ? noDisplay : cannot + failure.detail) +
                 "\n");
    return nullptr;
}

/// Starts this executable with "--connect" on its own, without waiting for it; its process id, or -1.
int startConnect(const Installation::Layout& layout) {
    return Launch::startDetached(layout.executable, {"--connect"});
}

} // namespace

int pairingApproval(const CommandLine& line, const std::optional<Installation::Layout>& layout,
                    Arguments arguments) {
    std::unique_ptr<DesktopSession> session;
    const auto showDialog = [&](const AlertSpec& spec) -> std::optional<AlertAnswer> {
        // The companion reads any status but 0 as "not approved", so a request that cannot be shown is
        // answered like any unusable one: status 2, and not a word on either stream.
        if (!layout) {
            return std::nullopt;
        }
        auto started =
            DesktopModule::start(startRequest(*layout, arguments, PairingApproval::unusableStatus));
        if (!started) {
            return std::nullopt;
        }
        session = std::move(*started);
        return session->desktop().runAlert(spec);
    };
    return PairingApproval::run(line.modeArgumentOnly(), STDIN_FILENO, STDOUT_FILENO, showDialog);
}

int setupWindow(const std::optional<Installation::Layout>& layout, Arguments arguments) {
    constexpr int noWindowStatus = 1;
    const auto session = startOrExplain(layout, arguments, noWindowStatus, "show the setup window");
    if (!session) {
        return noWindowStatus;
    }
    const Desktop& desktop = session->desktop();
    const SetupWindow::Actions actions{
        [&] { startConnect(*layout); },
        [&] { SupportLinks::offer(layout->supportFile(), desktop); },
    };
    return SetupWindow::run(ConfigurationText::setupWindowEntry(layout->launcher()), desktop, actions);
}

int connect(const CommandLine& line, const std::optional<Installation::Layout>& layout, Arguments arguments) {
    constexpr int failedStatus = exitCode(ConnectOutcome::failed);
    const auto session = startOrExplain(layout, arguments, failedStatus, "connect a browser");
    if (!session) {
        return failedStatus;
    }
    const Desktop& desktop = session->desktop();
    const auto pageFolder = [] {
        return PrivateFolder::forUser(environmentVariable, ::getuid(), PrivateFolder::Fallback::cache,
                                      ConfigurationBundle::homeDirectory());
    };
    const ConnectDesktop::Inputs inputs{line.sessionPath, layout->verifier(), ConnectChoice::candidates(),
                                        ::getuid(), pageFolder};
    return ConnectMode::run([&] { return ConnectDesktop::productionDependencies(inputs, desktop); },
                            desktop.runAlert);
}

int menuBar(const std::optional<Installation::Layout>& layout, Arguments arguments) {
    if (!layout) {
        return MenuBar::unusableStatus;
    }
    const auto paths = MenuBar::Paths::of(*layout);
    if (!paths.presence.usable()) {
        return MenuBar::unusableStatus;
    }
    const auto lock =
        SingleInstance::lockPath(environmentVariable, ::getuid(), ConfigurationBundle::homeDirectory());
    if (lock && !SingleInstance::acquire(*lock)) {
        return 0;
    }
    const auto session = startOrExplain(layout, arguments, MenuBar::unusableStatus, "show the status item");
    if (!session) {
        return MenuBar::unusableStatus;
    }
    ChildReaper reaper;
    MenuBar::Environment environment;
    environment.desktop = session->desktop();
    environment.paths = paths;
    environment.startConnect = [&reaper, &layout] {
        if (const int pid = startConnect(*layout); pid > 0) {
            reaper.adopt(pid);
        }
    };
    environment.noTrayYet = [] {
        writeAll(STDERR_FILENO,
                 "tessaly-setup: no system tray is available yet; the status item appears as soon "
                 "as one is\n");
    };
    return MenuBar::run(environment);
}

} // namespace WindowModes
