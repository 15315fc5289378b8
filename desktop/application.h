#pragma once

#include <QApplication>
#include <memory>
#include <string>

namespace DesktopApplication {

/// The application object of a window mode, on the platforms `platform` names in order (empty: the window
/// system's own choice). Where the window system can open no display it ends the process on its own; this
/// process then ends with `noDisplayStatus`, after writing `noDisplayMessage` and a line feed to standard
/// error unless the message is empty, instead of aborting. The window system's own diagnostics are not
/// passed on: the modes promise what they write.
std::unique_ptr<QApplication> create(int& argc, char** argv, const std::string& platform, int noDisplayStatus,
                                     std::string noDisplayMessage);

} // namespace DesktopApplication
