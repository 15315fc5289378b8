#include "timed_command.h"

#include "clock.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace TimedCommand {
namespace {

// How long the command gets to end after SIGTERM before the whole process group is killed.
constexpr double terminateGraceMs = 2'000.0;

// SIGCHLD is blocked so that the command's end can be read from a descriptor beside the display's.
int childSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGCHLD);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int fd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) {
        fail(2, "cannot watch the command");
    }
    return fd;
}

pid_t spawnCommand(const Options& options) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0 || posix_spawnattr_init(&attributes) != 0) {
        fail(2, "cannot prepare the command's start");
    }
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, options.input ? options.input : "/dev/null",
                                     O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // The command must not inherit the blocked SIGCHLD.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    pid_t pid = 0;
    const int error =
        posix_spawnp(&pid, options.argv[0], &actions, &attributes, options.argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        fail(2, (std::string("cannot start ") + options.argv[0] + ": " + std::strerror(error)).c_str());
    }
    return pid;
}

} // namespace

void fail(int status, const char* what) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
    std::exit(status);
}

Options parseOptions(int argc, char** argv, const char* usage) {
    Options options;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--input" && i + 1 < argc) {
            options.input = argv[++i];
            continue;
        }
        fail(2, usage);
    }
    if (i >= argc) {
        fail(2, usage);
    }
    options.argv.assign(argv + i, argv + argc);
    options.argv.push_back(nullptr);
    return options;
}

Child::Child(const Options& options)
    : signals_(childSignals()), startedAt_(nowMs()), pid_(spawnCommand(options)) {}

bool Child::reapIfExited() {
    if (exited_) {
        return true;
    }
    signalfd_siginfo info{};
    while (read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
    }
    return exited_;
}

void Child::terminate() {
    kill(-pid_, SIGTERM);
    const double until = nowMs() + terminateGraceMs;
    while (!reapIfExited()) {
        const double left = until - nowMs();
        if (left <= 0) {
            break;
        }
        pollfd fd{signals_, POLLIN, 0};
        poll(&fd, 1, static_cast<int>(left) + 1);
    }
    // Whatever the command started and left behind goes too.
    kill(-pid_, SIGKILL);
    if (!exited_) {
        int status = 0;
        waitpid(pid_, &status, 0);
        exited_ = true;
    }
}

bool Child::owns(pid_t windowPid) const {
    return windowPid == pid_ || getpgid(windowPid) == pid_;
}

bool Child::awaitWindow(int fd, const std::function<bool()>& step) {
    const double deadline = startedAt_ + deadlineMs;
    while (!step()) {
        if (reapIfExited()) {
            return false;
        }
        const double left = deadline - nowMs();
        if (left <= 0) {
            return false;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {signals_, POLLIN, 0}};
        poll(fds, 2, static_cast<int>(left) + 1);
    }
    return true;
}

} // namespace TimedCommand
