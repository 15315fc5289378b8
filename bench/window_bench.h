#pragma once

// What the two window benchmarks share: one clock, and ownership of xcb's replies.

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <xcb/xcb.h>

/// CLOCK_MONOTONIC in milliseconds.
inline double nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;

inline xcb_atom_t internAtom(xcb_connection_t* connection, const char* name) {
    const auto cookie = xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}
