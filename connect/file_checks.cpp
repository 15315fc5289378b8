#include "connect/file_checks.h"

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

} // namespace FileChecks
