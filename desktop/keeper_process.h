#pragma once

// What the two clipboard helpers (X11 and Wayland) share as processes: how the text comes in and which names
// it is offered under, and how a helper turns into the detached server that outlives its caller. No window
// system here, so that each helper links only its own.

#include <cstddef>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

namespace Keeper {

/// The largest text a helper takes. Well under what one X11 request may carry (256 KiB at the least), so that
/// the text always goes in one piece, and far more than a configuration entry needs.
inline constexpr std::size_t maxTextBytes = std::size_t{64} * 1024;

/// How each helper begins, before it touches its window system: descriptors from 3 up, which a caller may
/// have leaked (a pipe's other end, a lock) and the server would hold for as long as the clipboard lasts,
/// are closed; all of standard input is read; a hang-up of the caller's terminal or a paster that closes its
/// end early no longer ends the process. The text, or the status to exit with: 2 when `argc` shows any
/// argument, 1 when the text is empty, longer than maxTextBytes or cannot be read, so that a text is never
/// offered in part.
tl::expected<std::string, int> takeText(int argc);

bool isAscii(std::string_view text);

/// The names `text` is offered under, the same on both window systems: the UTF-8 ones always, the Latin-1
/// ones (STRING, TEXT, text/plain) only for pure ASCII, where both encodings read the same.
std::vector<std::string_view> textTypes(std::string_view text);

/// Leaves the server behind: the caller's process prints "ready" and exits at once (the caller reaps it, and
/// the server is re-parented, never a zombie); the server returns true, detached from the caller's session,
/// folder and standard input and output. False when no server could be started; nothing was printed then.
/// The window-system connection is left untouched by the exiting process: it belongs to the server.
bool becomeServer();

} // namespace Keeper
