#pragma once

#include "desktop/browser_launcher.h"

#include <optional>
#include <string>

// A program started for the user should come to the front, yet window managers and compositors keep a new
// window from taking the focus unless the launcher vouches for it: on X11 with a startup notification ID
// whose time the window manager compares with the user's last input, on Wayland with a token from the
// compositor. Qt 6.4 exposes neither its Wayland connection nor its last input serial, so both are asked
// for on connections of our own, each waited for on the main thread for at most answerSeconds.
namespace LaunchActivation {

inline constexpr double answerSeconds = 0.5;

/// "tessaly-setup-<pid>-<host>-<counter>_TIME<server time>": the X server's current time, read from a
/// property change on a window of our own on $DISPLAY. None when the server cannot be reached or does not
/// answer in time.
std::optional<std::string> x11StartupId();

/// A token for the program of the desktop entry `desktopId` from the compositor at $WAYLAND_DISPLAY (in
/// $XDG_RUNTIME_DIR unless a path). None when there is no such compositor, it offers no activation, or it
/// does not answer in time.
std::optional<std::string> waylandToken(const std::string& desktopId);

/// What the session offers for starting the entry `desktopId`: a startup ID when our windows are on X11
/// (only then is an X server surely running: under a Wayland compositor, connecting may start one), and a
/// Wayland token whenever a compositor is named, for a program that shows its windows there.
BrowserLauncher::Activation forLaunch(const std::string& desktopId);

} // namespace LaunchActivation
