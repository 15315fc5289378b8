#include "app/modes.h"

#include "connect/session.h"

#include <algorithm>

Mode chooseMode(const std::vector<std::string>& arguments) {
    const auto has = [&](std::string_view word) {
        return std::find(arguments.begin(), arguments.end(), word) != arguments.end();
    };
    const std::string_view first =
        arguments.size() >= 2 ? std::string_view(arguments[1]) : std::string_view();
    if (first == "--pairing-approval") {
        return Mode::pairingApproval;
    }
    if (first == "--connect") {
        return has("--check") ? Mode::check : Mode::connect;
    }
    if (has("--menubar")) {
        return Mode::menuBar;
    }
    return Mode::setupWindow;
}

CommandLine CommandLine::read(std::vector<std::string> arguments) {
    CommandLine line;
    const std::string_view first =
        arguments.size() >= 2 ? std::string_view(arguments[1]) : std::string_view();
    line.request = first == "--help"      ? Request::help
                   : first == "--version" ? Request::version
                                          : Request::runMode;
    line.mode = chooseMode(arguments);
    if (line.mode == Mode::check || line.mode == Mode::connect) {
        line.sessionPath = ConfigurationBundle::sessionPath(arguments);
    }
    line.arguments = std::move(arguments);
    return line;
}
