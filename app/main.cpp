#include "app/check_mode.h"
#include "app/modes.h"
#include "app/output.h"
#include "app/window_modes.h"
#include "connect/session.h"

#include <csignal>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

int runCheckMode(const std::vector<std::string>& arguments) {
    const auto sessionPath = ConfigurationBundle::sessionPath(arguments);
    const auto layout = ConnectVerifier::Layout::standard(Installation::bundlePath());
    const CheckMode::Report report = CheckMode::check(sessionPath, layout, ::getuid());
    writeAll(STDOUT_FILENO, CheckMode::line(report));
    return exitCode(report.outcome);
}

constexpr const char* usage =
    "Usage: tessaly-setup [MODE]\n"
    "The setup and status application of the tessaly-mcp companion.\n"
    "\n"
    "  (no arguments)                            the setup window: the MCP client configuration to copy\n"
    "  --connect [--session PATH]                connect a browser to the running companion\n"
    "  --connect --check [--session PATH]        check the companion once; one JSON line on standard output\n"
    "  --menubar                                 the status item in the system tray\n"
    "  --pairing-approval                        answer the companion's pairing request (read on standard "
    "input)\n"
    "  --help, --version                         this text, or the version\n"
    "\n"
    "Exit status: 0 done, 2 unusable invocation, 3 cancelled by the user, 4 connect or check failed.\n";

} // namespace

int main(int argc, char** argv) {
    // A reader that goes away (a closed pipe to a script, a child's input) must end a write, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> arguments(argv, argv + argc);
    // Answered before any mode is chosen, so that no mode, and no window system, is started for them.
    if (arguments.size() >= 2 && (arguments[1] == "--help" || arguments[1] == "--version")) {
        writeAll(STDOUT_FILENO, arguments[1] == "--help" ? usage : "tessaly-setup " TESSALY_VERSION "\n");
        return 0;
    }
    switch (chooseMode(arguments)) {
    case Mode::check:
        return runCheckMode(arguments);
    case Mode::pairingApproval:
        return WindowModes::pairingApproval(arguments, argc, argv);
    case Mode::setupWindow:
        return WindowModes::setupWindow(argc, argv);
    case Mode::connect:
        return WindowModes::connect(arguments, argc, argv);
    case Mode::menuBar:
        return WindowModes::menuBar(argc, argv);
    }
    return 1;
}
