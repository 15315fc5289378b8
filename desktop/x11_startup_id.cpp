// The X11 half of LaunchActivation: a startup notification ID stamped with the X server's current time.
#include "desktop/launch_activation.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace LaunchActivation {
namespace {

using Clock = std::chrono::steady_clock;

struct Disconnect {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

/// Milliseconds left until `deadline`, rounded up so that a wait never ends just short of it.
int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration<double, std::milli>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::ceil(left)) : 0;
}

/// The time of the first property change on `window`, read within the deadline.
std::optional<xcb_timestamp_t> propertyChangeTime(xcb_connection_t* connection, xcb_window_t window,
                                                  Clock::time_point deadline) {
    while (true) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
            const std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> owned(event, &std::free);
            if ((event->response_type & 0x7F) == XCB_PROPERTY_NOTIFY) {
                const auto* change = reinterpret_cast<const xcb_property_notify_event_t*>(event);
                if (change->window == window) {
                    return change->time;
                }
            }
        }
        if (xcb_connection_has_error(connection) != 0) {
            return std::nullopt;
        }
        pollfd readable{xcb_get_file_descriptor(connection), POLLIN, 0};
        const int waitMs = millisecondsUntil(deadline);
        if (waitMs == 0) {
            return std::nullopt;
        }
        if (::poll(&readable, 1, waitMs) < 0 && errno != EINTR) {
            return std::nullopt;
        }
    }
}

/// The host name as a part of the ID: '_' would start a field of its own, so only letters, digits, '.' and
/// '-' are kept.
std::string hostPart() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) {
        return "localhost";
    }
    std::string part = host;
    for (char& c : part) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          c == '.' || c == '-';
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
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
    for (int skipped = 0; skipped < screenNumber && screens.rem > 0; ++skipped) {
        xcb_screen_next(&screens);
    }
    if (screens.rem == 0) {
        return std::nullopt;
    }
    // The server stamps a property change with its time; appending nothing changes nothing but still
    // reports it. The window goes with the connection.
    const xcb_window_t window = xcb_generate_id(connection.get());
    const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(connection.get(), XCB_COPY_FROM_PARENT, window, screens.data->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
    xcb_change_property(connection.get(), XCB_PROP_MODE_APPEND, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        0, nullptr);
    if (xcb_flush(connection.get()) <= 0) {
        return std::nullopt;
    }
    const auto time = propertyChangeTime(connection.get(), window, deadline);
    if (!time) {
        return std::nullopt;
    }
    static unsigned launches = 0; // only the main thread launches
    return "tessaly-setup-" + std::to_string(::getpid()) + "-" + hostPart() + "-" +
           std::to_string(++launches) + "_TIME" + std::to_string(*time);
}

} // namespace LaunchActivation
