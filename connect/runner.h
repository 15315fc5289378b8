#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

/// A launched child process. Shared between the run that started it and the probe handle that may stop it
/// from another thread; whoever reaps it does so through this object, under its lock, so that no signal is
/// ever sent to a process id that has been reaped (and perhaps reused).
class ChildProcess {
  public:
    /// Starts `path` with `args`; standard input and output become the given descriptors in the child.
    /// Answers null when the child cannot be started.
    static std::shared_ptr<ChildProcess> spawn(const std::string& path, const std::vector<std::string>& args,
                                               int stdinFd, int stdoutFd);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    /// True while the child has not been reaped and has not exited.
    bool isRunning();
    /// Sends `signal` to the child's process group, which it leads, unless the child has been reaped.
    void sendSignal(int signal);
    /// Reaps the child if it has exited; true when it is (now or already) reaped.
    bool reapIfExited();
    /// Blocks up to `seconds` for the child to exit, waking as soon as it does where the system allows.
    void awaitExit(double seconds);

  private:
    ChildProcess(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}

    const pid_t pid_;
    const int pidfd_; // -1 where the system offers no process descriptors
    std::mutex lock_;
    bool reaped_ = false;
};

/// Lets one thread cancel the probes that another thread runs, and stop the child running for them.
class ConnectProbeHandle {
  public:
    /// Takes `child` as the one child to stop on cancel; false (and not kept) once the handle is cancelled.
    bool adopt(std::shared_ptr<ChildProcess> child);
    /// Forgets the adopted child without stopping it.
    void release();
    /// Marks the handle cancelled for good and stops the adopted child, if any.
    void cancel();
    bool isCancelled() const;
    /// How many times `adopt` was called, refused calls included.
    long adoptAttempts() const;

  private:
    mutable std::mutex lock_;
    std::shared_ptr<ChildProcess> child_;
    bool cancelled_ = false;
    long adoptions_ = 0;
};

namespace ConnectVerifier {

/// A way to run a script: executable, arguments, input text, timeout in seconds; the output, or none.
/// A parameter wherever scripts are run, so the logic above it can be tested without children.
using Runner = std::function<std::optional<std::string>(
    const std::string& path, const std::vector<std::string>& args, const std::string& input, double timeout)>;

/// How long a stopping child is given after SIGTERM, and again after SIGKILL.
inline constexpr double reapGraceSeconds = 1.0;
/// The most standard output a run may collect; more yields nothing.
inline constexpr std::size_t outputCap = 65536;

/// Runs `path` with `args`, writes `input` to its standard input and collects its standard output until it
/// closes, the cap is passed or `timeout` seconds pass. Answers the output only when it is complete,
/// non-empty and within the cap; never looks at the exit status or standard error. A cancelled `handle`
/// stops the run and its child.
std::optional<std::string> runBounded(const std::string& path, const std::vector<std::string>& args,
                                      const std::string& input, double timeout,
                                      ConnectProbeHandle* handle = nullptr);

/// True when `child` has exited (and been reaped) within `seconds`; zero seconds is a single look.
bool waitForExit(ChildProcess& child, double seconds);

/// Stops `child` and whatever it started in its group: SIGTERM, up to reapGraceSeconds for the child to
/// exit, SIGKILL to what is left, up to reapGraceSeconds again; then reaps the child.
void terminateOwned(ChildProcess& child);

/// runBounded without a handle.
extern const Runner processRunner;

} // namespace ConnectVerifier
