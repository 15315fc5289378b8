#pragma once

// The xcb calls that the X11 clipboard helper, the status item and the window benchmarks share: ownership of
// replies, atom interning and the owner of a selection. xcb only, so that each of them can take it in
// whatever else it links.

#include <cstdlib>
#include <memory>
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
