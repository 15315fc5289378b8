#pragma once

#include "app/desktop.h"

#include <functional>
#include <string>
#include <string_view>

/// How a copy reaches the clipboard so that it can still be pasted once this process has ended, whatever the
/// desktop. The window system that the toolkit runs on decides, because that is where the user pastes: a
/// Wayland session that also offers X11 keeps its clipboard on the Wayland side.
namespace ClipboardRoute {

enum class WindowSystem { x11, wayland, other };

/// The window system behind the toolkit's platform name ("xcb", "wayland", "offscreen", ...).
WindowSystem fromPlatformName(std::string_view platformName);

enum class Route {
    x11Helper,     ///< the X11 helper owns the selection, or hands it to a clipboard manager
    waylandHelper, ///< the Wayland helper holds it through the compositor's data-control protocol
    toolkit,       ///< the toolkit's own clipboard, held while this process runs
    focusedWindow, ///< a window of ours that copies once the user presses its button
};

/// The ways to copy, as function values so that the choice can be tested with fakes.
struct Copiers {
    /// Each helper answers true once it holds the text; false when it refused or could not start.
    std::function<bool(const std::string& text)> x11Helper;
    std::function<bool(const std::string& text)> waylandHelper;
    std::function<void(const std::string& text)> toolkit;
    std::function<void(const std::string& text)> focusedWindow;
};

/// Copies `text` and answers the route taken. `haveFocus` is true when a window of ours holds the keyboard
/// focus now (the user just pressed one of its buttons): without data-control, a Wayland compositor takes a
/// selection only from such a window, so a copy made without one goes through a window that gets it.
Route copy(const std::string& text, WindowSystem windowSystem, bool haveFocus, const Copiers& copiers);

/// The window of the focusedWindow route: `text` to read, and a button that copies it while the window has
/// the focus. It never says that a copy was made: it offers to make one.
AlertSpec focusedCopyAlert(const std::string& text);

} // namespace ClipboardRoute
