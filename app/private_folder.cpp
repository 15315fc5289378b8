#include "app/private_folder.h"

#include <cerrno>
#include <sys/stat.h>

namespace PrivateFolder {
namespace {

std::optional<std::filesystem::path> absoluteVariable(const Environment& environment, const char* name) {
    const char* value = environment(name);
    if (value == nullptr || *value != '/') {
        return std::nullopt;
    }
    return std::filesystem::path(value);
}

/// A parent that someone else could swap the folder out of is no base for a private one: it must be ours or
/// root's, and nobody else may write to it unless the sticky bit keeps them from renaming our entries.
bool isTrustedParent(const std::filesystem::path& parent, unsigned uid) {
    struct stat info {};
    if (::stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return false;
    }
    const bool ownerTrusted = info.st_uid == uid || info.st_uid == 0;
    const bool othersKeptOut = (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (info.st_mode & S_ISVTX) != 0;
    return ownerTrusted && othersKeptOut;
}

bool isPrivate(const std::filesystem::path& folder, unsigned uid) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat info {};
    return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == uid &&
           (info.st_mode & 077) == 0;
}

} // namespace

std::optional<std::filesystem::path> forUser(const Environment& environment, unsigned uid, Fallback fallback,
                                             const std::filesystem::path& home) {
    std::optional<std::filesystem::path> base = absoluteVariable(environment, "XDG_RUNTIME_DIR");
    if (!base) {
        base =
            absoluteVariable(environment, fallback == Fallback::state ? "XDG_STATE_HOME" : "XDG_CACHE_HOME");
        if (!base && home.is_absolute()) {
            base = home / ".cache";
        }
        if (!base) {
            return std::nullopt;
        }
        // A fresh account may have no such folder yet; made private, as the runtime folder is.
        if (::mkdir(base->c_str(), 0700) != 0 && errno != EEXIST) {
            return std::nullopt;
        }
    }
    if (!isTrustedParent(*base, uid)) {
        return std::nullopt;
    }
    const std::filesystem::path folder = *base / "tessaly-setup";
    if (!isPrivate(folder, uid)) {
        return std::nullopt;
    }
    return folder;
}

} // namespace PrivateFolder
