#pragma once

#include "app/desktop.h"

#include <functional>
#include <string>

/// The window shown when the program starts without a mode: the MCP client configuration entry that starts
/// the companion, to copy by hand, with a way to connect a browser and to offer support.
namespace SetupWindow {

/// The window showing `json`.
AlertSpec alert(const std::string& json);

struct Actions {
    /// Starts this executable with "--connect", without waiting for it.
    std::function<void()> startConnect;
    /// The support choice.
    std::function<void()> offerSupport;
};

/// Shows the window once and carries out the answer. Answers the exit status, always 0.
int run(const std::string& json, const Desktop& desktop, const Actions& actions);

} // namespace SetupWindow
