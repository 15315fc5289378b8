#pragma once

#include "app/desktop.h"

#include <string>

// The connect mode's browser, found and started through the desktop's entries rather than a path: the
// entries know where each packaging (distribution, vendor, Flatpak, Snap) put the browser and how to start
// it. Kept free of Qt so that it can use GIO, whose headers clash with Qt's macros.
namespace BrowserLauncher {

/// True when the desktop has a usable entry (its program present) for one of the browser's desktop IDs.
bool isInstalled(const std::string& bundleIdentifier);

/// Starts the browser's entry with `url` as its one argument and answers true; `completion` is told later,
/// on the main thread while its event loop turns, whether the start succeeded. Answers false, starting
/// nothing and never calling `completion`, when the browser has no usable entry.
bool launch(const std::string& url, const std::string& bundleIdentifier, LaunchCompletion completion);

} // namespace BrowserLauncher
