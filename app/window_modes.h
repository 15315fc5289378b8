#pragma once

#include "app/installation.h"
#include "app/modes.h"

#include <optional>

/// The modes that show windows. Each loads the window-system module only once it knows it has something to
/// show, and answers the process's exit status. `layout` is none when the program cannot tell where it is
/// installed; then nothing of the installation is used.
namespace WindowModes {

/// The process's own argument vector, which the window system reads (and may shorten) at start.
struct Arguments {
    int& argc;
    char** argv;
};

int pairingApproval(const CommandLine& line, const std::optional<Installation::Layout>& layout,
                    Arguments arguments);

int setupWindow(const std::optional<Installation::Layout>& layout, Arguments arguments);

int connect(const CommandLine& line, const std::optional<Installation::Layout>& layout, Arguments arguments);

int menuBar(const std::optional<Installation::Layout>& layout, Arguments arguments);

} // namespace WindowModes
