#include "connect/file_checks.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace FileChecks {

bool isExecutableFile(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool exists(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::filesystem::path withoutTrailingSeparator(std::filesystem::path path) {
    while (path.has_relative_path() && !path.has_filename()) {
        path = path.parent_path();
    }
    return path;
}

Descriptor::~Descriptor() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::optional<std::string> readAtMost(int fd, std::size_t limit) {
    // Grown as it is read, never to more than it holds: some files (those under /proc) report no size
    // beforehand, and a limit may be far above what a file usually holds.
    constexpr std::size_t chunk = 65536;
    std::string bytes;
    while (bytes.size() <= limit) {
        const std::size_t before = bytes.size();
        bytes.resize(before + std::min(chunk, limit + 1 - before));
        const ssize_t count = ::read(fd, bytes.data() + before, bytes.size() - before);
        bytes.resize(before + static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
        if (count == 0) {
            break;
        }
        if (count < 0 && errno != EINTR) {
            return std::nullopt;
        }
    }
    return bytes;
}

} // namespace FileChecks
