#pragma once

// What the two clipboard helpers (X11 and Wayland) share as processes: how the text comes in and which names
// it is offered under, and how a helper turns into the detached server that outlives its caller. No window
// system here, so that each helper links only its own.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Keeper {

/// The largest text a helper takes. Well under what one X11 request may carry (256 KiB at the least), so that
/// the text always goes in one piece, and far more than a configuration entry needs.
inline constexpr std::size_t maxTextBytes = std::size_t{64} * 1024;

/// Closes every descriptor from 3 up. Descriptors leaked by the caller (a pipe's other end, a lock) would
/// otherwise be held by the server for as long as the clipboard lasts.
void closeInheritedDescriptors();

/// All of `fd` up to its end; nothing when that is empty, longer than maxTextBytes or cannot be read, so
/// that a text is never offered in part.
std::optional<std::string> readText(int fd);

bool isAscii(std::string_view text);

/// The names `text` is offered under, the same on both window systems: the UTF-8 ones always, the Latin-1
/// ones (STRING, TEXT, text/plain) only for pure ASCII, where both encodings read the same.
std::vector<std::string_view> textTypes(std::string_view text);

/// A hang-up of the caller's terminal or a paster that closes its end early must not end the server.
void ignoreHangups();

/// Leaves the server behind: the caller's process prints "ready" and exits at once (the caller reaps it, and
/// the server is re-parented, never a zombie); the server returns true, detached from the caller's session,
/// folder and standard input and output. False when no server could be started; nothing was printed then.
/// The window-system connection is left untouched by the exiting process: it belongs to the server.
bool becomeServer();

} // namespace Keeper
