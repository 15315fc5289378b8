// The X11 half of LaunchActivation: a startup notification ID stamped with the X server's current time.
#include "connect/ascii.h"
#include "desktop/launch_activation.h"
#include "desktop/xcb_calls.h"

#include <chrono>
#include <memory>
#include <unistd.h>
#include <xcb/xcb.h>

namespace LaunchActivation {
namespace {

using Clock = std::chrono::steady_clock;

struct Disconnect {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

/// The host name as a part of the ID: '_' would start a field of its own, so only letters, digits, '.' and
/// '-' are kept.
std::string hostPart() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) {
        return "localhost";
    }
    std::string part = host;
    for (char& c : part) {
        const bool kept = Ascii::isLetter(c) || Ascii::isDigit(c) || c == '.' || c == '-';
        c = kept ? c : '-';
    }
    return part;
}

} // namespace

std::optional<std::string> x11StartupId() {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(answerSeconds));
    int screenNumber = 0;
    // A connection of our own: Qt's event thread reads every event of Qt's, the one awaited here included.
    const std::unique_ptr<xcb_connection_t, Disconnect> connection(xcb_connect(nullptr, &screenNumber));
    if (xcb_connection_has_error(connection.get()) != 0) {
        return std::nullopt;
    }
    const xcb_screen_t* screen = Xcb::screen(connection.get(), screenNumber);
    if (screen == nullptr) {
        return std::nullopt;
    }
    // The window goes with the connection.
    const xcb_window_t window = xcb_generate_id(connection.get());
    const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(connection.get(), XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
    const auto time = Xcb::serverTime(connection.get(), window, XCB_ATOM_WM_NAME, deadline);
    if (!time) {
        return std::nullopt;
    }
    static unsigned launches = 0; // only the main thread launches
    return "tessaly-setup-" + std::to_string(::getpid()) + "-" + hostPart() + "-" +
           std::to_string(++launches) + "_TIME" + std::to_string(*time);
}

} // namespace LaunchActivation
