#pragma once

// The xcb calls that the X11 clipboard helper, the status item, the browser launch and the window benchmarks
// share: ownership of replies, screens, atom interning, the server's time and the owner of a selection. xcb
// only, so that each of them can take it in whatever else it links.

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <poll.h>
#include <span>
#include <string_view>
#include <vector>
#include <xcb/xcb.h>

namespace Xcb {

/// A reply, event or error from xcb, which the caller frees.
template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T> Reply<T> reply(T* raw) {
    return Reply<T>(raw, &std::free);
}

/// The screen numbered `number` (as xcb_connect answers it); null when the server has no such screen.
inline xcb_screen_t* screen(xcb_connection_t* connection, int number) {
    auto roots = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (; roots.rem > 0 && number > 0; --number) {
        xcb_screen_next(&roots);
    }
    return roots.rem > 0 ? roots.data : nullptr;
}

/// The X server's current time, which only the server knows: it stamps the PropertyNotify of an empty append
/// to `property` of our own `window` (which selects property changes) with it. Other events that come first
/// are dropped. None when the connection fails or `deadline` passes first.
inline std::optional<xcb_timestamp_t>
serverTime(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t property,
           std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max()) {
    xcb_change_property(connection, XCB_PROP_MODE_APPEND, window, property, XCB_ATOM_STRING, 8, 0, nullptr);
    if (xcb_flush(connection) <= 0) {
        return std::nullopt;
    }
    for (;;) {
        while (const auto event = reply(xcb_poll_for_event(connection))) {
            const auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(event.get());
            if ((event->response_type & 0x7F) == XCB_PROPERTY_NOTIFY && notify->window == window &&
                notify->atom == property) {
                return notify->time;
            }
        }
        if (xcb_connection_has_error(connection) != 0) {
            return std::nullopt;
        }
        int waitMs = -1;
        if (deadline != std::chrono::steady_clock::time_point::max()) {
            // Rounded up, so that a wait never wakes just short of the deadline and spins.
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) {
                return std::nullopt;
            }
            waitMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }
        pollfd readable{xcb_get_file_descriptor(connection), POLLIN, 0};
        if (::poll(&readable, 1, waitMs) < 0 && errno != EINTR) {
            return std::nullopt;
        }
    }
}

/// All atoms in one round trip; an atom that could not be had is XCB_ATOM_NONE.
inline std::vector<xcb_atom_t> internAtoms(xcb_connection_t* connection,
                                           std::span<const std::string_view> names) {
    std::vector<xcb_intern_atom_cookie_t> cookies;
    cookies.reserve(names.size());
    for (const std::string_view name : names) {
        cookies.push_back(xcb_intern_atom(connection, 0, static_cast<uint16_t>(name.size()), name.data()));
    }
    std::vector<xcb_atom_t> atoms;
    atoms.reserve(names.size());
    for (const xcb_intern_atom_cookie_t cookie : cookies) {
        const auto answer = reply(xcb_intern_atom_reply(connection, cookie, nullptr));
        atoms.push_back(answer ? answer->atom : xcb_atom_t{XCB_ATOM_NONE});
    }
    return atoms;
}

inline xcb_atom_t internAtom(xcb_connection_t* connection, std::string_view name) {
    return internAtoms(connection, std::span(&name, 1)).front();
}

/// The window that owns `selection`, XCB_WINDOW_NONE when none does or the server did not answer.
inline xcb_window_t selectionOwner(xcb_connection_t* connection, xcb_atom_t selection) {
    const auto answer = reply(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr));
    return answer ? answer->owner : xcb_window_t{XCB_WINDOW_NONE};
}

} // namespace Xcb
