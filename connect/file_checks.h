#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

/// The questions asked of the companion's installation, and of the paths into it, before its files are run.
namespace FileChecks {

/// A regular file, symbolic links followed, that the current user may execute.
bool isExecutableFile(const std::filesystem::path& path);

/// Anything at all at `path`, symbolic links followed.
bool exists(const std::filesystem::path& path);

/// `path` without trailing separators, so that its last component is the folder it names.
std::filesystem::path withoutTrailingSeparator(std::filesystem::path path);

/// Closes the descriptor it owns when it goes away.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor();
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

/// What `fd` holds, read to its end but never more than `limit` + 1 bytes: one byte more than allowed tells
/// a file that is too long, or grew after it was checked, from one that fits exactly. None on a read error.
std::optional<std::string> readAtMost(int fd, std::size_t limit);

} // namespace FileChecks
