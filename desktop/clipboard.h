#pragma once

#include "app/clipboard_route.h"

#include <filesystem>
#include <string>

namespace Clipboard {

/// The helpers beside the executable that keep a copy after this process ends: on X11 by owning the selection
/// (or handing it to a clipboard manager), on Wayland through the compositor's data-control protocol.
inline constexpr const char* x11HelperFileName = "tessaly-clipboard";
inline constexpr const char* waylandHelperFileName = "tessaly-clipboard-wayland";
/// How long a helper may take to hold the selection before the copy takes another route.
inline constexpr double helperTimeoutSeconds = 5.0;
/// How long a process whose copy only the toolkit holds on Wayland keeps serving it at its end, so that a
/// compositor that keeps copies of exiting clients (GNOME's reads one at once) can take it.
inline constexpr double handOverSeconds = 0.25;

/// Puts `text` on the clipboard as plain text so that it can still be pasted after this process has ended,
/// by the route that the window system allows (see ClipboardRoute). `haveFocus`: called from a button of a
/// focused window of ours.
ClipboardRoute::Route copyText(const std::filesystem::path& bundlePath, const std::string& text,
                               bool haveFocus);

/// Lets the event loop serve a copy that only the toolkit holds on Wayland for handOverSeconds; nothing
/// otherwise. Called once, just before the application object goes.
void handOverBeforeExit();

} // namespace Clipboard
