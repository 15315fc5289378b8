#include "app/clipboard_route.h"

namespace ClipboardRoute {

WindowSystem fromPlatformName(std::string_view platformName) {
    if (platformName == "xcb") {
        return WindowSystem::x11;
    }
    if (platformName == "wayland" || platformName.starts_with("wayland-")) {
        return WindowSystem::wayland;
    }
    return WindowSystem::other;
}

Route copy(const std::string& text, WindowSystem windowSystem, bool haveFocus, const Copiers& copiers) {
    switch (windowSystem) {
    case WindowSystem::x11:
        if (copiers.x11Helper(text)) {
            return Route::x11Helper;
        }
        // X11 lets any client take the selection; the toolkit's copy lasts while this process runs.
        break;
    case WindowSystem::wayland:
        if (copiers.waylandHelper(text)) {
            return Route::waylandHelper;
        }
        if (!haveFocus) {
            copiers.focusedWindow(text);
            return Route::focusedWindow;
        }
        break;
    case WindowSystem::other:
        break;
    }
    copiers.toolkit(text);
    return Route::toolkit;
}

AlertSpec focusedCopyAlert(const std::string& text) {
    AlertSpec spec;
    spec.messageText = "Copy MCP configuration";
    spec.informativeText = "This desktop lets a program use the clipboard only from a window that has the "
                           "focus. Press Copy to put this configuration on the clipboard.";
    spec.buttons = {"Close", "Copy"};
    spec.activate = true;
    constexpr int textWidth = 590;
    constexpr int textHeight = 160;
    spec.accessory = TextAccessory{textWidth, textHeight, text, TextAccessory{}.fontSize};
    spec.copyButton = CopyButton{1, text};
    return spec;
}

} // namespace ClipboardRoute
