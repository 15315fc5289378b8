#include "connect/runner.h"

#include "connect/run_groups.h"
#include "connect/spawn.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

/// Where the system offers no process descriptors, exits are noticed by looking this often.
constexpr auto exitPollInterval = std::chrono::milliseconds(20);
/// Keeps deadline arithmetic, and poll's millisecond timeouts, in range for absurd timeouts.
constexpr double longestWaitSeconds = 1e6;
constexpr std::size_t readChunk = 16384;

Clock::time_point deadlineAfter(double seconds) {
    // Negative and NaN timeouts mean "no time at all".
    const double bounded = seconds > 0 ? std::min(seconds, longestWaitSeconds) : 0.0;
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bounded));
}

/// Rounded up, so that a wait never wakes just short of its deadline and spins.
int millisecondsUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~Fd() { reset(); }

    int get() const { return fd_; }
    /// A failed close is of no interest here: the descriptor is gone either way.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

struct Pipe {
    Fd readEnd;
    Fd writeEnd;
};

std::optional<Pipe> openPipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    return Pipe{Fd(fds[0]), Fd(fds[1])};
}

bool setNonBlocking(const Fd& fd) {
    const int flags = fcntl(fd.get(), F_GETFL);
    return flags >= 0 && fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) == 0;
}

/// Writing to a child that has stopped reading raises SIGPIPE, which must not end the application, yet the
/// process-wide disposition belongs to the application. So SIGPIPE is blocked in this thread only, and any
/// that the run raised is taken off the pending set before the old mask returns.
class SigpipeBlock {
  public:
    SigpipeBlock() {
        sigemptyset(&sigpipe_);
        sigaddset(&sigpipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &sigpipe_, &previous_);
        sigset_t pending;
        // One that was already pending before the run is the caller's, and stays.
        keepPending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeBlock() {
        if (!keepPending_) {
            const timespec noWait{};
            while (sigtimedwait(&sigpipe_, nullptr, &noWait) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

  private:
    sigset_t sigpipe_;
    sigset_t previous_;
    bool keepPending_ = false;
};

/// Writes what the pipe takes now. Our end is closed once everything is written, or once the child can no
/// longer take input, so that it sees end of input.
void writeSome(Fd& toChild, std::string_view& pending) {
    const ssize_t written = write(toChild.get(), pending.data(), pending.size());
    if (written < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (written > 0) {
        pending.remove_prefix(static_cast<std::size_t>(written));
    }
    if (written < 0 || pending.empty()) {
        toChild.reset();
    }
}

enum class Collecting { goingOn, ended, failed };

/// Never takes in more than one byte past the cap: that byte is enough to know the cap was passed.
Collecting readSome(const Fd& fromChild, std::string& output) {
    const std::size_t before = output.size();
    output.resize(before + std::min(readChunk, ConnectVerifier::outputCap + 1 - before));
    const ssize_t got = read(fromChild.get(), output.data() + before, output.size() - before);
    const int readError = errno;
    output.resize(before + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    if (got > 0) {
        return output.size() > ConnectVerifier::outputCap ? Collecting::failed : Collecting::goingOn;
    }
    if (got == 0) {
        return Collecting::ended;
    }
    return readError == EAGAIN || readError == EINTR ? Collecting::goingOn : Collecting::failed;
}

/// Feeds `input` to the child while collecting its output, in one loop, so that a child that does not read
/// its input cannot hold the run past the deadline. Answers the output only when it ended in time.
std::optional<std::string> exchange(Fd toChild, Fd fromChild, std::string_view input,
                                    Clock::time_point deadline) {
    const SigpipeBlock sigpipeBlock;
    if (input.empty()) {
        toChild.reset();
    }
    std::string output;
    for (int waitMs = millisecondsUntil(deadline); waitMs > 0; waitMs = millisecondsUntil(deadline)) {
        pollfd fds[2] = {{fromChild.get(), POLLIN, 0}, {toChild.get(), POLLOUT, 0}}; // poll skips a closed -1
        const int ready = poll(fds, 2, waitMs);
        if (ready < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if (ready <= 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            writeSome(toChild, input);
        }
        if (fds[0].revents != 0) {
            switch (readSome(fromChild, output)) {
            case Collecting::goingOn:
                break;
            case Collecting::ended:
                return output.empty() ? std::nullopt : std::optional(std::move(output));
            case Collecting::failed:
                return std::nullopt;
            }
        }
    }
    return std::nullopt;
}

/// However a run ends after launch, its child is stopped or reaped, and then freed from the handle.
class OwnedRun {
  public:
    OwnedRun(std::shared_ptr<ChildProcess> child, ConnectProbeHandle* handle)
        : child_(std::move(child)), handle_(handle) {}
    ~OwnedRun() {
        ConnectVerifier::terminateOwned(*child_);
        if (handle_ != nullptr) {
            handle_->release();
        }
    }
    OwnedRun(const OwnedRun&) = delete;
    OwnedRun& operator=(const OwnedRun&) = delete;

    bool adopted() { return handle_ == nullptr || handle_->adopt(child_); }

  private:
    std::shared_ptr<ChildProcess> child_;
    ConnectProbeHandle* handle_;
};

std::optional<std::string> launchAndCollect(const std::string& path, const std::vector<std::string>& args,
                                            std::string_view input, double timeout,
                                            ConnectProbeHandle* handle) {
    if (handle != nullptr && handle->isCancelled()) {
        return std::nullopt;
    }
    auto toChild = openPipe();
    auto fromChild = openPipe();
    if (!toChild || !fromChild || !setNonBlocking(toChild->writeEnd) || !setNonBlocking(fromChild->readEnd)) {
        return std::nullopt;
    }
    auto child = ChildProcess::spawn(path, args, toChild->readEnd.get(), fromChild->writeEnd.get());
    // The child's ends must go at once: our copy of its output end would keep end of output from coming.
    toChild->readEnd.reset();
    fromChild->writeEnd.reset();
    if (!child) {
        return std::nullopt;
    }
    const auto deadline = deadlineAfter(timeout);
    OwnedRun owned(std::move(child), handle);
    if (!owned.adopted()) {
        return std::nullopt;
    }
    return exchange(std::move(toChild->writeEnd), std::move(fromChild->readEnd), input, deadline);
}

} // namespace

std::shared_ptr<ChildProcess> ChildProcess::spawn(const std::string& path,
                                                  const std::vector<std::string>& args, int stdinFd,
                                                  int stdoutFd) {
    std::vector<char*> argv = spawnArgv(path, args);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdinFd, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    // Nobody reads standard error; a pipe nobody reads would block a chatty child.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Whatever else is open here, close-on-exec or not (a caller's socket, a library's descriptor), is ours.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    // A process group of its own, so that whatever the child starts can be stopped with it.
    const CleanSpawnAttributes attributes(POSIX_SPAWN_SETPGROUP);

    // glibc reports a failed exec through the result and reaps the short-lived child itself.
    pid_t pid = -1;
    RunGroups::SpawnSlot slot;
    const int failed = slot.reserved()
                           ? posix_spawn(&pid, path.c_str(), &actions, attributes.get(), argv.data(), environ)
                           : EAGAIN;
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        return nullptr;
    }
    // Registered at once, so that a signal that stops the program from now on stops the child's group too.
    slot.hold(pid);
    return std::shared_ptr<ChildProcess>(new ChildProcess(pid, openProcessDescriptor(pid)));
}

ChildProcess::~ChildProcess() {
    if (pidfd_ >= 0) {
        close(pidfd_);
    }
}

bool ChildProcess::isRunning() {
    std::lock_guard guard(lock_);
    if (reaped_) {
        return false;
    }
    siginfo_t info{};
    // WNOWAIT looks without reaping: reaping stays with reapIfExited.
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return false;
    }
    return info.si_pid == 0;
}

void ChildProcess::sendSignal(int signal) {
    std::lock_guard guard(lock_);
    // The group bears the child's id and cannot be taken by another process while the child is unreaped.
    if (!reaped_) {
        kill(-pid_, signal);
    }
}

bool ChildProcess::reapIfExited() {
    std::lock_guard guard(lock_);
    if (!reaped_) {
        siginfo_t info{};
        int looked;
        do {
            looked = waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
        } while (looked < 0 && errno == EINTR);
        const bool exited = looked == 0 && info.si_pid == pid_;
        // ECHILD: reaped behind our back (SIGCHLD ignored); the pid is no longer ours to signal.
        if (exited || (looked < 0 && errno == ECHILD)) {
            // Out of the stop signals' reach before reaping sets the id free for another process.
            RunGroups::release(pid_);
            pid_t reaped;
            do {
                reaped = waitpid(pid_, nullptr, WNOHANG);
            } while (reaped < 0 && errno == EINTR);
            reaped_ = true;
        }
    }
    return reaped_;
}

void ChildProcess::awaitExit(double seconds) {
    const auto deadline = deadlineAfter(seconds);
    for (int waitMs = millisecondsUntil(deadline); waitMs > 0; waitMs = millisecondsUntil(deadline)) {
        if (pidfd_ >= 0) {
            // Without the lock: the descriptor lives as long as this object, and reaping does not close it.
            pollfd exited{pidfd_, POLLIN, 0};
            const int ready = poll(&exited, 1, waitMs);
            if (ready > 0) {
                return;
            }
            if (ready == 0 || errno == EINTR) {
                continue;
            }
        }
        if (!isRunning()) {
            return;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(exitPollInterval, deadline - Clock::now()));
    }
}

bool ConnectProbeHandle::adopt(std::shared_ptr<ChildProcess> child) {
    std::lock_guard guard(lock_);
    ++adoptions_;
    if (cancelled_) {
        return false;
    }
    // Swapped rather than assigned so that a dropped child is destroyed by the caller, outside this lock.
    child_.swap(child);
    return true;
}

void ConnectProbeHandle::release() {
    std::shared_ptr<ChildProcess> released;
    std::lock_guard guard(lock_);
    released.swap(child_);
}

void ConnectProbeHandle::cancel() {
    std::shared_ptr<ChildProcess> child;
    {
        std::lock_guard guard(lock_);
        cancelled_ = true;
        child.swap(child_);
    }
    // Stopping takes up to two grace periods; meanwhile the handle stays free for the run to release.
    if (child) {
        ConnectVerifier::terminateOwned(*child);
    }
}

bool ConnectProbeHandle::isCancelled() const {
    std::lock_guard guard(lock_);
    return cancelled_;
}

long ConnectProbeHandle::adoptAttempts() const {
    std::lock_guard guard(lock_);
    return adoptions_;
}

namespace ConnectVerifier {

std::optional<std::string> runBounded(const std::string& path, const std::vector<std::string>& args,
                                      const std::string& input, double timeout, ConnectProbeHandle* handle) {
    // Only allocation can throw here; a run that cannot allocate simply has no output.
    try {
        return launchAndCollect(path, args, input, timeout, handle);
    } catch (...) {
        return std::nullopt;
    }
}

bool waitForExit(ChildProcess& child, double seconds) {
    if (child.reapIfExited()) {
        return true;
    }
    if (seconds > 0) {
        child.awaitExit(seconds);
    }
    return child.reapIfExited();
}

void terminateOwned(ChildProcess& child) {
    if (child.isRunning()) {
        child.sendSignal(SIGTERM);
        // Wakes when the child exits, without reaping it: its group must stay addressable a moment longer.
        child.awaitExit(reapGraceSeconds);
    }
    // Whatever is left of the group goes now (the child if it ignored SIGTERM, processes it started that
    // hold the output open or run on), before the child is reaped and the group's id set free.
    child.sendSignal(SIGKILL);
    waitForExit(child, reapGraceSeconds);
}

const Runner processRunner = [](const std::string& path, const std::vector<std::string>& args,
                                const std::string& input,
                                double timeout) { return runBounded(path, args, input, timeout); };

} // namespace ConnectVerifier
