// Measures how responsive a window's event loop is from outside, with the EWMH ping: the window's client
// answers a _NET_WM_PING client message only when its event loop reads it, so the round trip of each ping
// bounds how long that loop went without turning.
//
// Usage: event_loop_stall (--window-title TITLE | --window ID) --seconds S [--interval-ms MS]
//
// Waits up to 20 s for a mapped top-level window titled TITLE (or takes window ID, decimal or 0x hex), then
// pings it every MS milliseconds (default 5) for S seconds and prints one line,
// "PINGS ANSWERED MEDIAN_MS MAX_MS MAX_GAP_MS MAX_SEND_GAP_MS": round trips, the largest gap between two
// consecutive answers, and the largest between two pings, this tool's own lateness, which a gap between
// answers also contains. Exits 1 when the window does not appear, does not take part in the protocol, or goes
// away while it is pinged, and 2 on a usage or setup error.
//
// Only a display without a window manager is supported: top-level windows must be children of the root
// window, as they are under a bare Xvfb.
#include "window_bench.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <vector>
#include <xcb/xcb.h>

namespace {

constexpr double findDeadlineMs = 20'000.0;
// Answers still missing this long after the last ping count as lost.
constexpr double drainMs = 2'000.0;

[[noreturn]] void fail(int status, const std::string& what) {
    std::fprintf(stderr, "event_loop_stall: %s\n", what.c_str());
    std::exit(status);
}

[[noreturn]] void usage() {
    fail(2, "usage: event_loop_stall (--window-title TITLE | --window ID) --seconds S [--interval-ms MS]");
}

double positiveNumber(const char* text) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value > 0)) {
        usage();
    }
    return value;
}

struct Options {
    std::optional<std::string> title;
    xcb_window_t window = XCB_WINDOW_NONE;
    double seconds = 0;
    double intervalMs = 5;
};

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            usage();
        }
        const char* value = argv[++i];
        if (arg == "--window-title") {
            options.title = value;
        } else if (arg == "--window") {
            char* end = nullptr;
            options.window = static_cast<xcb_window_t>(std::strtoul(value, &end, 0));
            if (end == value || *end != '\0' || options.window == XCB_WINDOW_NONE) {
                usage();
            }
        } else if (arg == "--seconds") {
            options.seconds = positiveNumber(value);
        } else if (arg == "--interval-ms") {
            options.intervalMs = positiveNumber(value);
        } else {
            usage();
        }
    }
    if (options.title.has_value() == (options.window != XCB_WINDOW_NONE) || options.seconds <= 0) {
        usage();
    }
    return options;
}

class Display {
  public:
    Display() {
        int screenNumber = 0;
        connection_ = xcb_connect(nullptr, &screenNumber);
        if (xcb_connection_has_error(connection_)) {
            fail(2, "cannot connect to the display named by DISPLAY");
        }
        const xcb_screen_t* screen = Xcb::screen(connection_, screenNumber);
        if (screen == nullptr) {
            fail(2, "the display has no such screen");
        }
        root_ = screen->root;
    }
    ~Display() { xcb_disconnect(connection_); }
    Display(const Display&) = delete;
    Display& operator=(const Display&) = delete;

    xcb_connection_t* connection() const { return connection_; }
    xcb_window_t root() const { return root_; }

    xcb_atom_t atom(const char* name) const { return internAtom(connection_, name); }

    Reply<xcb_get_property_reply_t> property(xcb_window_t window, xcb_atom_t name) const {
        const auto cookie =
            xcb_get_property(connection_, 0, window, name, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024);
        return {xcb_get_property_reply(connection_, cookie, nullptr), &std::free};
    }

    std::string title(xcb_window_t window) const {
        // The EWMH name is the one Qt keeps exact; WM_NAME is a fallback for other toolkits.
        for (const xcb_atom_t name : {atom("_NET_WM_NAME"), static_cast<xcb_atom_t>(XCB_ATOM_WM_NAME)}) {
            const auto reply = property(window, name);
            if (reply && reply->format == 8 && xcb_get_property_value_length(reply.get()) > 0) {
                return {static_cast<const char*>(xcb_get_property_value(reply.get())),
                        static_cast<std::size_t>(xcb_get_property_value_length(reply.get()))};
            }
        }
        return {};
    }

    bool viewable(xcb_window_t window) const {
        Reply<xcb_get_window_attributes_reply_t> reply(
            xcb_get_window_attributes_reply(connection_, xcb_get_window_attributes(connection_, window),
                                            nullptr),
            &std::free);
        return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
    }

    std::optional<xcb_window_t> findViewable(const std::string& title) const {
        Reply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(connection_, xcb_query_tree(connection_, root_), nullptr), &std::free);
        if (!tree) {
            return std::nullopt;
        }
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
            // A client may keep hidden windows of the same title around; only the one on screen counts.
            if (viewable(children[i]) && this->title(children[i]) == title) {
                return children[i];
            }
        }
        return std::nullopt;
    }

    int fd() const { return xcb_get_file_descriptor(connection_); }

  private:
    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = XCB_WINDOW_NONE;
};

// Looks again whenever something happens on the root window rather than on a timer: the substructure
// selection reports every top-level's map.
xcb_window_t awaitWindow(const Display& display, const std::string& title) {
    const double deadline = nowMs() + findDeadlineMs;
    while (true) {
        if (const auto found = display.findViewable(title)) {
            return *found;
        }
        bool happened = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(display.connection())) {
            happened = true;
            std::free(event);
        }
        const double left = deadline - nowMs();
        if (left <= 0) {
            fail(1, "no window titled \"" + title + "\" appeared within 20 s");
        }
        if (!happened) {
            pollfd fd{display.fd(), POLLIN, 0};
            poll(&fd, 1, static_cast<int>(left) + 1);
        }
    }
}

bool takesPings(const Display& display, xcb_window_t window, xcb_atom_t ping) {
    const auto reply = display.property(window, display.atom("WM_PROTOCOLS"));
    if (!reply || reply->format != 32) {
        return false;
    }
    const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
    const int count = xcb_get_property_value_length(reply.get()) / 4;
    return std::find(atoms, atoms + count, ping) != atoms + count;
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    const Display display;
    xcb_connection_t* connection = display.connection();
    // Qt sends its answers to the root window for StructureNotify|SubstructureRedirect (not the
    // SubstructureNotify that EWMH suggests); without a window manager nobody holds the redirect, so the
    // notify half is what delivers them here. SubstructureNotify reports a top-level's map, unmap and end.
    const uint32_t rootMask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    Reply<xcb_generic_error_t> selectError(
        xcb_request_check(connection, xcb_change_window_attributes_checked(connection, display.root(),
                                                                           XCB_CW_EVENT_MASK, &rootMask)),
        &std::free);
    if (selectError) {
        fail(2, "cannot watch the root window");
    }
    const xcb_atom_t protocols = display.atom("WM_PROTOCOLS");
    const xcb_atom_t ping = display.atom("_NET_WM_PING");
    const xcb_window_t window = options.title ? awaitWindow(display, *options.title) : options.window;
    if (!takesPings(display, window, ping)) {
        fail(1, "the window does not list _NET_WM_PING in WM_PROTOCOLS");
    }

    std::map<uint32_t, double> outstanding; // serial -> when it was sent
    std::vector<double> roundTrips;
    double largestGap = 0;
    double largestSendGap = 0;
    std::optional<double> lastPing;
    std::optional<double> lastAnswer;
    uint32_t serial = 0;
    bool gone = false;
    const double start = nowMs();
    const double end = start + options.seconds * 1e3;
    double nextPing = start;

    while (!gone) {
        const double now = nowMs();
        if (now >= end && (outstanding.empty() || now >= end + drainMs)) {
            break;
        }
        if (now < end && now >= nextPing) {
            xcb_client_message_event_t message{};
            message.response_type = XCB_CLIENT_MESSAGE;
            message.format = 32;
            message.window = window;
            message.type = protocols;
            message.data.data32[0] = ping;
            // Echoed back unchanged: the serial stands in for the timestamp and matches the answer.
            message.data.data32[1] = ++serial;
            message.data.data32[2] = window;
            xcb_send_event(connection, 0, window, XCB_EVENT_MASK_NO_EVENT,
                           reinterpret_cast<const char*>(&message));
            xcb_flush(connection);
            outstanding[serial] = now;
            largestSendGap = std::max(largestSendGap, lastPing ? now - *lastPing : 0.0);
            lastPing = now;
            // Scheduled from now rather than from the plan: after a stall of this tool, no burst of pings.
            nextPing = std::max(nextPing + options.intervalMs, now);
        }
        while (xcb_generic_event_t* raw = xcb_poll_for_event(connection)) {
            const double at = nowMs();
            Reply<xcb_generic_event_t> event(raw, &std::free);
            const uint8_t type = event->response_type & 0x7f;
            if (type == XCB_CLIENT_MESSAGE) {
                const auto& answer = reinterpret_cast<const xcb_client_message_event_t&>(*event);
                const auto sent = outstanding.find(answer.data.data32[1]);
                if (answer.data.data32[0] != ping || answer.data.data32[2] != window ||
                    sent == outstanding.end()) {
                    continue;
                }
                roundTrips.push_back(at - sent->second);
                outstanding.erase(sent);
                largestGap = std::max(largestGap, lastAnswer ? at - *lastAnswer : 0.0);
                lastAnswer = at;
            } else if (type == XCB_UNMAP_NOTIFY || type == XCB_DESTROY_NOTIFY) {
                // Both events carry the window that went at the same offset.
                gone = gone || reinterpret_cast<const xcb_unmap_notify_event_t&>(*event).window == window;
            }
        }
        if (xcb_connection_has_error(connection)) {
            fail(2, "lost the connection to the display");
        }
        const double wake = nowMs() < end ? nextPing : end + drainMs;
        const double left = std::max(0.0, wake - nowMs());
        const timespec timeout{static_cast<time_t>(left / 1e3),
                               static_cast<long>(std::fmod(left, 1e3) * 1e6)};
        pollfd fd{display.fd(), POLLIN, 0};
        ppoll(&fd, 1, &timeout, nullptr);
    }
    if (gone) {
        fail(1, "the window went away after " + std::to_string((nowMs() - start) / 1e3) + " s of pinging");
    }
    const double largest = roundTrips.empty() ? 0 : *std::max_element(roundTrips.begin(), roundTrips.end());
    std::printf("%u %zu %.2f %.2f %.2f %.2f\n", serial, roundTrips.size(), median(roundTrips), largest,
                largestGap, largestSendGap);
    return 0;
}
