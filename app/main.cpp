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

int notBuiltYet(Mode mode) {
    writeAll(STDERR_FILENO, "tessaly-setup: the " + std::string(rawValue(mode)) + " mode is not built yet\n");
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    // A reader that goes away (a closed pipe to a script, a child's input) must end a write, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> arguments(argv, argv + argc);
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
        return notBuiltYet(Mode::menuBar);
    }
    return 1;
}
