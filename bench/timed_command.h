#pragma once

// What the time-to-window tools share, whichever display server they watch: the command under test, started
// right after the clock is read, in a process group of its own, and the wait for the window with the
// command's end and a deadline in view.

#include <functional>
#include <optional>
#include <sys/types.h>
#include <vector>

namespace TimedCommand {

/// How long a command gets to show its window.
inline constexpr double deadlineMs = 10'000.0;

/// Prints "TOOL: WHAT" on standard error and exits with `status`.
[[noreturn]] void fail(int status, const char* what);

struct Options {
    const char* input = nullptr;
    std::vector<char*> argv; // null-terminated
};

/// [--input FILE] -- COMMAND [ARGS...]; exits 2 with `usage` on anything else.
Options parseOptions(int argc, char** argv, const char* usage);

/// The command, started with FILE (or /dev/null) as input and its output discarded, in a process group of its
/// own, so that a wrapper (a shell, a launcher script) and whatever it started can be recognised as the
/// command's own and terminated together.
class Child {
  public:
    explicit Child(const Options& options);
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    /// True once the direct child has ended; reaps it.
    bool reapIfExited();
    /// Ends the command and everything it started.
    void terminate();
    /// A window belongs to the command when the process that made it is the child or one of its group.
    bool owns(pid_t windowPid) const;
    /// The clock's reading right before the command was started, in milliseconds.
    double startedAt() const { return startedAt_; }

    /// Polls `fd` until `step` (called at once and then whenever `fd` may be readable) answers that the
    /// window is there. False when the command ends first or deadlineMs after its start pass.
    bool awaitWindow(int fd, const std::function<bool()>& step);

  private:
    int signals_;
    double startedAt_ = 0;
    pid_t pid_;
    bool exited_ = false;
};

} // namespace TimedCommand
