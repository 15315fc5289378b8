#include "app/window_modes.h"

#include "app/child_reaper.h"
#include "app/connect_desktop.h"
#include "app/connect_mode.h"
#include "app/desktop_module.h"
#include "app/launch.h"
#include "app/menu_bar.h"
#include "app/modes.h"
#include "app/output.h"
#include "app/pairing.h"
#include "app/setup_window.h"
#include "app/single_instance.h"
#include "app/support.h"
#include "connect/environment.h"
#include "connect/session.h"

#include <memory>
#include <unistd.h>

namespace WindowModes {
namespace {

/// Starts the window system for a mode that tells the user why it cannot show anything: one line on
/// standard error ("tessaly-setup: cannot <purpose>: ..."), after which the mode ends with `status`.
/// Answers null in that case.
std::unique_ptr<DesktopSession> startOrExplain(int& argc, char** argv, const std::filesystem::path& bundle,
                                               int status, const std::string& purpose) {
    const std::string cannot = "tessaly-setup: cannot " + purpose + ": ";
    const std::string noDisplay = cannot + "no display is available";
    auto session = DesktopModule::start({&argc, argv, bundle, status, noDisplay, {}, {}});
    if (session) {
        return std::move(*session);
    }
    const auto& failure = session.error();
    writeAll(STDERR_FILENO,
             (failure.kind == DesktopModule::Failure::Kind::noDisplay ? noDisplay : cannot + failure.detail) +
                 "\n");
    return nullptr;
}

} // namespace

int pairingApproval(const std::vector<std::string>& arguments, int& argc, char** argv) {
    std::unique_ptr<DesktopSession> session;
    const auto showDialog = [&](const AlertSpec& spec) -> std::optional<AlertAnswer> {
        // The companion reads any status but 0 as "not approved", so a request that cannot be shown is
        // answered like any unusable one: status 2, and not a word on either stream.
        auto started = DesktopModule::start(
            {&argc, argv, Installation::bundlePath(), PairingApproval::unusableStatus, {}, {}, {}});
        if (!started) {
            return std::nullopt;
        }
        session = std::move(*started);
        return session->desktop().runAlert(spec);
    };
    return PairingApproval::run(arguments, STDIN_FILENO, STDOUT_FILENO, showDialog);
}

int setupWindow(int& argc, char** argv) {
    constexpr int noWindowStatus = 1;
    const auto bundle = Installation::bundlePath();
    const auto resourceRoot = Installation::resourceRoot(bundle);
    const std::string json = SetupWindow::configurationJson(Installation::root(resourceRoot));
    const auto session = startOrExplain(argc, argv, bundle, noWindowStatus, "show the setup window");
    if (!session) {
        return noWindowStatus;
    }
    const Desktop& desktop = session->desktop();
    const SetupWindow::Actions actions{
        [] {
            // Without a known executable there is nothing to start; the window still ends normally.
            if (const auto executable = Installation::executablePath(); !executable.empty()) {
                Launch::startDetached(executable, {"--connect"});
            }
        },
        [&] { SupportLinks::offer(resourceRoot, desktop); },
    };
    return SetupWindow::run(json, desktop, actions);
}

int connect(const std::vector<std::string>& arguments, int& argc, char** argv) {
    constexpr int failedStatus = exitCode(ConnectOutcome::failed);
    const auto bundle = Installation::bundlePath();
    const auto session = startOrExplain(argc, argv, bundle, failedStatus, "connect a browser");
    if (!session) {
        return failedStatus;
    }
    const Desktop& desktop = session->desktop();
    const ConnectDesktop::Inputs inputs{ConfigurationBundle::sessionPath(arguments),
                                        ConnectVerifier::Layout::standard(bundle),
                                        ConnectChoice::candidates(), ::getuid()};
    return ConnectMode::run([&] { return ConnectDesktop::productionDependencies(inputs, desktop); },
                            desktop.runAlert);
}

int menuBar(int& argc, char** argv) {
    const auto bundle = Installation::bundlePath();
    const auto paths = MenuBar::Paths::beside(Installation::resourceRoot(bundle));
    if (!paths.presence.usable()) {
        return MenuBar::unusableStatus;
    }
    const auto lock = SingleInstance::lockPath(environmentVariable, ::getuid());
    if (lock && !SingleInstance::acquire(*lock)) {
        return 0;
    }
    const auto session = startOrExplain(argc, argv, bundle, MenuBar::unusableStatus, "show the status item");
    if (!session) {
        return MenuBar::unusableStatus;
    }
    ChildReaper reaper;
    MenuBar::Environment environment;
    environment.desktop = session->desktop();
    environment.paths = paths;
    environment.startConnect = [&reaper] {
        if (const auto executable = Installation::executablePath(); !executable.empty()) {
            if (const int pid = Launch::startDetached(executable, {"--connect"}); pid > 0) {
                reaper.adopt(pid);
            }
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
