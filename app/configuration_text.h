#pragma once

#include "app/installation.h"

#include <filesystem>
#include <string>

/// The MCP client configuration entries that start the companion: the setup window's and the status item's.
/// One writer for both, so that the two texts cannot drift apart in how they quote a path.
namespace ConfigurationText {

/// The setup window's entry naming `command`, with an empty "args": pretty-printed with sorted keys (so
/// "args" before "command") and slashes unescaped. A path that is not valid UTF-8 cannot be written as JSON;
/// its bad bytes show as U+FFFD so the user sees that the path will not work rather than a silently different
/// one.
std::string setupWindowEntry(const std::filesystem::path& command);

/// The status item's seven-line snippet naming `command`, without "args" and without a final line feed.
std::string statusItemSnippet(const std::filesystem::path& command);

/// The launcher the status item's snippet names: the one beside the resource root, unless that is not an
/// executable file while the installation root's is (a release layout), where naming a file that does not
/// exist would give the user a configuration that cannot start.
std::filesystem::path
statusItemCommand(const Installation::Layout& layout,
                  const Installation::IsExecutableFile& isExecutableFile = FileChecks::isExecutableFile);

} // namespace ConfigurationText
