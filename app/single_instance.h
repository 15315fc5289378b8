#pragma once

#include "app/private_folder.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

/// One status item per user and display: an autostart entry and a manual start must not show two. The
/// first process holds a lock for as long as it runs; the system drops it with the process, however it ends.
namespace SingleInstance {

/// The lock file for the display named by the environment (DISPLAY, else WAYLAND_DISPLAY), in the user's
/// private folder (in the runtime folder, else under `home`: a predictable folder elsewhere could be made
/// first by another user, who could then hold the lock); none when no private folder can be had.
/// `environment` looks up a variable.
std::optional<std::filesystem::path> lockPath(const PrivateFolder::Environment& environment, unsigned uid,
                                              const std::filesystem::path& home);

/// Takes the lock at `path` and keeps it until the process ends. False when another process holds it.
/// A lock that cannot be taken for any other reason does not stop this process: true.
bool acquire(const std::filesystem::path& path);

} // namespace SingleInstance
