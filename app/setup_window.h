#pragma once

#include "app/desktop.h"

#include <filesystem>
#include <functional>
#include <string>

/// The window shown when the program starts without a mode: the MCP client configuration entry that starts
/// the companion, to copy by hand, with a way to connect a browser and to offer support.
namespace SetupWindow {

/// The configuration entry naming the launcher in `root`, pretty-printed with sorted keys and unescaped
/// slashes. A path that is not valid UTF-8 cannot be written as JSON; its bad bytes show as U+FFFD so the
/// user sees that this path will not work rather than a silently different one.
std::string configurationJson(const std::filesystem::path& root);

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
