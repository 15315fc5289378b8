#include "app/single_instance.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SingleInstance {
namespace {

/// A folder that only `uid` can enter: created if missing, refused if it is a link or anyone else's.
bool isPrivateFolder(const std::filesystem::path& folder, unsigned uid) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat info {};
    return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == uid &&
           (info.st_mode & 077) == 0;
}

/// The display's name as a file name: ":0" and ":0.0" are one display; other characters are kept safe.
std::string displayKey(std::string display) {
    const auto colon = display.rfind(':');
    const auto dot = display.find('.', colon == std::string::npos ? 0 : colon);
    if (colon != std::string::npos && dot != std::string::npos) {
        display.erase(dot);
    }
    for (char& c : display) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          c == '-' || c == '_' || c == '.';
        c = safe ? c : '_';
    }
    return display;
}

} // namespace

std::optional<std::filesystem::path> lockPath(const std::function<const char*(const char*)>& environment,
                                              unsigned uid) {
    std::string display = "none";
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        if (const char* value = environment(name); value != nullptr && *value != '\0') {
            display = value;
            break;
        }
    }
    std::filesystem::path folder;
    if (const char* runtime = environment("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime == '/') {
        folder = runtime;
    } else {
        folder = "/tmp/tessaly-setup-" + std::to_string(uid);
    }
    if (!isPrivateFolder(folder, uid)) {
        return std::nullopt;
    }
    return folder / ("tessaly-setup-menubar-" + displayKey(display) + ".lock");
}

bool acquire(const std::filesystem::path& path) {
    // Never closed: the lock lasts exactly as long as the process.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return true;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool heldElsewhere = errno == EWOULDBLOCK;
        ::close(fd);
        return !heldElsewhere;
    }
    return true;
}

} // namespace SingleInstance
