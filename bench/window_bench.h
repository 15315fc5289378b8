#pragma once

// What the two window benchmarks share: one clock, and the xcb calls the program's own X11 code uses.

#include "desktop/xcb_calls.h"

#include <ctime>

/// CLOCK_MONOTONIC in milliseconds.
inline double nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

using Xcb::internAtom;
using Xcb::Reply;
