#pragma once

#include "connect/raw_value.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

/// The five ways the executable runs, in the order in which the command line is tested for them.
enum class Mode { pairingApproval, check, connect, menuBar, setupWindow };

template <> struct RawValues<Mode> {
    static constexpr std::array<std::string_view, 5> names = {"pairingApproval", "check", "connect",
                                                              "menuBar", "setupWindow"};
};

/// The mode selected by `arguments` (program path first). Unknown or misplaced arguments are never an
/// error: they fall through to the setup window.
Mode chooseMode(const std::vector<std::string>& arguments);

/// Everything the command line asks for, read once at start-up and handed to the mode that runs.
struct CommandLine {
    /// "--help" or "--version" right after the program path is answered before any mode is chosen, so that
    /// no mode, and no window system, starts for it.
    enum class Request { runMode, help, version };

    /// As the process received it, program path first.
    std::vector<std::string> arguments;
    Request request = Request::runMode;
    Mode mode = Mode::setupWindow;
    /// The session file of the connect and check modes.
    std::filesystem::path sessionPath;

    static CommandLine read(std::vector<std::string> arguments);
    /// True when the list holds nothing but the program and its mode's own argument.
    bool modeArgumentOnly() const { return arguments.size() == 2; }
};
