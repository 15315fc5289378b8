// The command line is whatever a user, a script or the companion passes: no argument list may crash the mode
// choice, and the first rule that matches must win.
#include "app/modes.h"
#include "connect/session.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Arguments are separated by NUL bytes, as in the argument vector itself.
    std::vector<std::string> arguments;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (std::size_t start = 0; start <= input.size();) {
        const std::size_t end = std::min(input.find('\0', start), input.size());
        arguments.emplace_back(input.substr(start, end - start));
        start = end + 1;
    }
    const auto has = [&](const char* word) {
        return std::find(arguments.begin(), arguments.end(), word) != arguments.end();
    };
    const std::string first = arguments.size() >= 2 ? arguments[1] : "";
    const Mode expected = first == "--pairing-approval" ? Mode::pairingApproval
                          : first == "--connect"        ? (has("--check") ? Mode::check : Mode::connect)
                          : has("--menubar")            ? Mode::menuBar
                                                        : Mode::setupWindow;
    if (chooseMode(arguments) != expected) {
        std::abort();
    }

    const CommandLine line = CommandLine::read(arguments);
    if (line.mode != expected || line.modeArgumentOnly() != (arguments.size() == 2)) {
        std::abort();
    }
    const std::filesystem::path home = "/home/fuzz";
    const auto path = ConfigurationBundle::sessionPath(arguments, home);
    const auto flag = std::find(arguments.begin(), arguments.end(), "--session");
    const bool named = flag != arguments.end() && flag + 1 != arguments.end();
    if (path != (named ? std::filesystem::path(*(flag + 1)) : home / ".tessaly-mcp" / "session.json")) {
        std::abort();
    }
    return 0;
}
