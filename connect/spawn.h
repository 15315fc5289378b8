#pragma once

#include <spawn.h>
#include <string>
#include <sys/types.h>
#include <vector>

/// The argument vector of `path` started with `args`, null-terminated. It points into its arguments, which
/// must outlive it.
std::vector<char*> spawnArgv(const std::string& path, const std::vector<std::string>& args);

/// Attributes for posix_spawn under which a child starts with the default signal dispositions and an empty
/// signal mask: the application's own choices (an ignored SIGPIPE, a blocked signal) are not the child's to
/// inherit.
class CleanSpawnAttributes {
  public:
    /// `extraFlags` are further POSIX_SPAWN_* flags, such as POSIX_SPAWN_SETSID.
    explicit CleanSpawnAttributes(short extraFlags = 0);
    ~CleanSpawnAttributes();
    CleanSpawnAttributes(const CleanSpawnAttributes&) = delete;
    CleanSpawnAttributes& operator=(const CleanSpawnAttributes&) = delete;

    const posix_spawnattr_t* get() const { return &attributes_; }

  private:
    posix_spawnattr_t attributes_;
};

/// A descriptor that becomes readable when `pid`, an unreaped child of this process, exits; -1 where the
/// system offers none. The pid cannot be reused before it is reaped, so opening it after the spawn is safe.
int openProcessDescriptor(pid_t pid);
