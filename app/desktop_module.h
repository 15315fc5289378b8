#pragma once

#include "app/desktop.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <tl/expected.hpp>

// The window system lives in a module beside the executable that only the window modes open, so that the
// check mode and every refusal that needs no window never load it.

/// Filled in by the module's entry point, which creates the application object.
struct DesktopStartRequest {
    int* argc = nullptr;
    char** argv = nullptr;
    std::filesystem::path bundlePath;
    /// Where no display can be opened the window system ends the process itself; it does so with this
    /// status, after writing `noDisplayMessage` (and a line feed) to standard error unless it is empty.
    int noDisplayStatus = 1;
    std::string noDisplayMessage;
    /// The window-system platforms to try, in order, when the environment names none (see platformFor).
    std::string platform;

    std::optional<Desktop> desktop;
    /// Destroys the application object; called once, before the process exits.
    std::function<void()> finish;
};

extern "C" {
/// The module's one exported symbol.
using DesktopEntryPoint = void (*)(DesktopStartRequest* request);
}
inline constexpr const char* desktopEntrySymbol = "tessalyDesktopStart";
inline constexpr const char* desktopModuleFileName = "libtessaly-desktop.so";

/// The desktop of one window mode, with the application object torn down when it goes away.
class DesktopSession {
  public:
    explicit DesktopSession(DesktopStartRequest started) : started_(std::move(started)) {}
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    const Desktop& desktop() const { return *started_.desktop; }

  private:
    DesktopStartRequest started_;
};

namespace DesktopModule {

/// True when the environment names a display or a platform for the window system; without one no window
/// can appear and the module is not worth loading. `environment` looks up a variable.
bool displayConfigured(const std::function<const char*(const char*)>& environment);

/// The platforms the window system should try, or empty to leave the choice to it. In a Wayland session the
/// program runs natively on Wayland, falling back to X11 only when Wayland cannot be reached: the window
/// system would otherwise pick X11 wherever the session does not announce its type, and run blurred through
/// X11 emulation on scaled screens, without Wayland's clipboard. A platform the user named is kept.
std::string platformFor(const std::function<const char*(const char*)>& environment);

struct Failure {
    enum class Kind { noDisplay, moduleUnusable };
    Kind kind;
    /// Why the module could not be used, for the one line a mode may write about it.
    std::string detail;
};

/// Opens the module in `request.bundlePath` and starts it.
tl::expected<std::unique_ptr<DesktopSession>, Failure> start(DesktopStartRequest request);

} // namespace DesktopModule
