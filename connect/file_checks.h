#pragma once

#include <filesystem>

/// The questions asked of the companion's installation, and of the paths into it, before its files are run.
namespace FileChecks {

/// A regular file, symbolic links followed, that the current user may execute.
bool isExecutableFile(const std::filesystem::path& path);

/// Anything at all at `path`, symbolic links followed.
bool exists(const std::filesystem::path& path);

/// `path` without trailing separators, so that its last component is the folder it names.
std::filesystem::path withoutTrailingSeparator(std::filesystem::path path);

} // namespace FileChecks
