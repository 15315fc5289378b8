#pragma once

#include "app/desktop.h"
#include "app/installation.h"
#include "app/presence.h"
#include "connect/verifier.h"

#include <filesystem>
#include <functional>
#include <optional>

/// The status item: the companion's presence, refreshed at once and then every few seconds by a probe on
/// a worker, with a menu to connect a browser, copy a configuration snippet and quit.
namespace MenuBar {

inline constexpr double refreshSeconds = 5.0;
inline constexpr const char* workerName = "tsm.menubar.probe";
/// The exit status when the installation has no runtime or presence script.
inline constexpr int unusableStatus = 2;

struct Paths {
    /// The runtime and the presence script; the mode is unusable unless `presence.usable()`.
    ConnectVerifier::Layout presence;
    /// The launcher that the configuration snippet names.
    std::filesystem::path command;

    static Paths of(const Installation::Layout& layout);
};

struct Environment {
    Desktop desktop;
    Paths paths;
    /// One presence probe under the mode's handle; runs on the worker. Empty: the presence script.
    std::function<std::optional<Presence::Report>(ConnectProbeHandle&)> probe;
    /// Starts a connect attempt in a process of its own.
    std::function<void()> startConnect;
    /// Tells the user that no system tray is there yet; the item appears once one is.
    std::function<void()> noTrayYet;
};

/// Shows the status item and runs until the user quits. Answers the exit status, 0.
int run(const Environment& environment);

} // namespace MenuBar
