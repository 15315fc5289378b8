#include "connect/spawn.h"

#include <csignal>
#include <sys/syscall.h>
#include <unistd.h>

std::vector<char*> spawnArgv(const std::string& path, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

CleanSpawnAttributes::CleanSpawnAttributes(short extraFlags) {
    posix_spawnattr_init(&attributes_);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attributes_, &all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setflags(&attributes_,
                             static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | extraFlags));
}

CleanSpawnAttributes::~CleanSpawnAttributes() {
    posix_spawnattr_destroy(&attributes_);
}

int openProcessDescriptor(pid_t pid) {
    // Opened close-on-exec: a later child never inherits the watch.
    const long fd = syscall(SYS_pidfd_open, pid, 0);
    return fd >= 0 ? static_cast<int>(fd) : -1;
}
