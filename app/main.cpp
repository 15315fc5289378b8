#include "app/check_mode.h"
#include "app/installation.h"
#include "app/modes.h"
#include "app/output.h"
#include "app/window_modes.h"
#include "connect/run_groups.h"

#include <csignal>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

int runCheckMode(const CommandLine& line, const std::optional<Installation::Layout>& layout) {
    // Without a known installation there is no verifier to run: the empty layout is never usable.
    const auto verifier = layout ? layout->verifier() : ConnectVerifier::Layout{};
    const CheckMode::Report report = CheckMode::check(line.sessionPath, verifier, ::getuid());
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
    // Ctrl-C, a closed terminal or a stop request must not leave a child running: every mode, since the
    // window system handles none of these signals.
    RunGroups::installSignalHandlers();
    const CommandLine line = CommandLine::read({argv, argv + argc});
    switch (line.request) {
    case CommandLine::Request::help:
        return writeAll(STDOUT_FILENO, usage) ? 0 : 1;
    case CommandLine::Request::version:
        return writeAll(STDOUT_FILENO, "tessaly-setup " TESSALY_VERSION "\n") ? 0 : 1;
    case CommandLine::Request::runMode:
        break;
    }
    const auto layout = Installation::current();
    const WindowModes::Arguments arguments{argc, argv};
    switch (line.mode) {
    case Mode::check:
        return runCheckMode(line, layout);
    case Mode::pairingApproval:
        return WindowModes::pairingApproval(line, layout, arguments);
    case Mode::setupWindow:
        return WindowModes::setupWindow(layout, arguments);
    case Mode::connect:
        return WindowModes::connect(line, layout, arguments);
    case Mode::menuBar:
        return WindowModes::menuBar(layout, arguments);
    }
    return 1;
}
