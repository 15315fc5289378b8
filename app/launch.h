#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace Launch {

/// Starts `executable` with `arguments` in a session of its own, with this process's environment, working
/// folder and standard streams, and does not wait for it. Answers the child's process id, or -1 when it
/// could not be started. Descriptors other than the standard three are not passed on.
int startDetached(const std::filesystem::path& executable, const std::vector<std::string>& arguments);

} // namespace Launch
