#pragma once

#include <filesystem>
#include <string>

namespace Clipboard {

/// The helper beside the executable that keeps an X11 copy alive after this process ends.
inline constexpr const char* keeperFileName = "tessaly-clipboard";
/// How long the helper may take to own the clipboard before the window system's own clipboard is used.
inline constexpr double keeperTimeoutSeconds = 5.0;

/// Puts `text` on the clipboard as plain text so that it can still be pasted after this process has ended.
/// On X11 the helper in `bundlePath` owns it, and hands it to a clipboard manager where one runs; elsewhere,
/// or when the helper fails, the window system's clipboard takes it.
void copyText(const std::filesystem::path& bundlePath, const std::string& text);

} // namespace Clipboard
