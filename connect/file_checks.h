#pragma once

#include <filesystem>

/// The questions asked of the companion's installation before one of its files is run.
namespace FileChecks {

/// A regular file, symbolic links followed, that the current user may execute.
bool isExecutableFile(const std::filesystem::path& path);

/// Anything at all at `path`, symbolic links followed.
bool exists(const std::filesystem::path& path);

} // namespace FileChecks
