#pragma once

#include <filesystem>
#include <functional>
#include <optional>

/// A folder of this program's that only the user can enter, for what other local users must neither see nor
/// plant: the status item's lock, a page that carries the session token.
namespace PrivateFolder {

/// Looks up an environment variable; null when unset.
using Environment = std::function<const char*(const char*)>;

/// Where the user's private folder should be when the runtime folder cannot serve.
enum class Fallback {
    state, ///< $XDG_STATE_HOME, else ~/.cache: kept across a reboot, which does not matter for a lock
    cache, ///< $XDG_CACHE_HOME, else ~/.cache
};

/// "tessaly-setup" inside the user's runtime folder ($XDG_RUNTIME_DIR) when it is set, else inside the
/// `fallback` folder under the user's home. The folder (and a missing parent under the home) is created
/// with mode 0700; it is answered only when it is a real folder, not a link, owned by `uid`, with no group
/// or other permission bits, and its parent is `uid`'s or root's and not writable by others. None
/// otherwise, or when only relative paths are known.
std::optional<std::filesystem::path> forUser(const Environment& environment, unsigned uid, Fallback fallback,
                                             const std::filesystem::path& home);

} // namespace PrivateFolder
