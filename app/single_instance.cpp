#include "app/single_instance.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SingleInstance {
namespace {

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

std::optional<std::filesystem::path> lockPath(const PrivateFolder::Environment& environment, unsigned uid,
                                              const std::filesystem::path& home) {
    std::string display = "none";
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        if (const char* value = environment(name); value != nullptr && *value != '\0') {
            display = value;
            break;
        }
    }
    const auto folder = PrivateFolder::forUser(environment, uid, PrivateFolder::Fallback::state, home);
    if (!folder) {
        return std::nullopt;
    }
    return *folder / ("menubar-" + displayKey(display) + ".lock");
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
