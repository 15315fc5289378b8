#pragma once

#include "app/desktop.h"

#include <functional>
#include <optional>
#include <string>

// The connect mode's browser, found and started through the desktop's entries rather than a path: the
// entries know where each packaging (distribution, vendor, Flatpak, Snap) put the browser and how to start
// it. Kept free of Qt so that it can use GIO, whose headers clash with Qt's macros.
namespace BrowserLauncher {

/// True when the desktop has a usable entry (its program present) for one of the browser's desktop IDs.
bool isInstalled(const std::string& bundleIdentifier);

/// True when the entry that `launch` would start runs the browser confined (Flatpak, Snap).
bool isSandboxed(const std::string& bundleIdentifier);

/// What lets a launched program come to the front; each is passed on in its environment variable when known.
struct Activation {
    /// DESKTOP_STARTUP_ID: the X11 startup notification ID, with the time the window manager compares.
    std::optional<std::string> startupId;
    /// XDG_ACTIVATION_TOKEN: the Wayland compositor's activation token.
    std::optional<std::string> activationToken;
};

/// Starts the browser's entry with `url` as its one argument: in a session of its own, with standard input,
/// output and error on /dev/null and no other descriptor of this process, with what `activate` answers for
/// the entry's desktop ID (asked once the entry is found) in its environment, and never such a variable of
/// this process's own.
/// Answers at once whether the entry started; `ended` is then told, on the main thread while its event loop
/// turns, how the browser's process ended (which also reaps it). False, starting nothing and never telling
/// `ended`, when the browser has no usable entry or its program could not be started.
bool launch(const std::string& url, const std::string& bundleIdentifier,
            const std::function<Activation(const std::string& desktopId)>& activate, LaunchEnded ended);

} // namespace BrowserLauncher
