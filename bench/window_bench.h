#pragma once

// What the X11 window benchmarks share: one clock, and the xcb calls the program's own X11 code uses.

#include "clock.h"
#include "desktop/xcb_calls.h"

using Xcb::internAtom;
using Xcb::Reply;
