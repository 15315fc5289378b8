// Measures how long a command takes from its start until its first top-level window is mapped on the X
// display, and until the server first asks that window to paint itself (its first Expose).
//
// Usage: time_to_window [--input FILE] -- COMMAND [ARGS...]
//
// Prints one line, "MAP_MS EXPOSE_MS", each with 0.1 ms precision; EXPOSE_MS is "-" when the command mapped
// its window before this tool could ask for the window's Expose events. Exits 1 without printing anything
// when no window appears within 10 seconds or the command exits first, and 2 on a usage or setup error. The
// command and everything it started are terminated once the window is seen.
//
// Only a display without a window manager is supported: top-level windows must be children of the root
// window, as they are under a bare Xvfb.
#include "window_bench.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>
#include <xcb/xcb.h>
// For reading a reply without blocking, so that no event waits behind it.
#include <xcb/xcbext.h>

extern char** environ;

namespace {

constexpr double deadlineMs = 10'000.0;
// How long the command gets to end after SIGTERM before the whole process group is killed.
constexpr double terminateGraceMs = 2'000.0;

[[noreturn]] void fail(int status, const char* what) {
    std::fprintf(stderr, "time_to_window: %s\n", what);
    std::exit(status);
}

struct Options {
    const char* input = nullptr;
    std::vector<char*> argv; // null-terminated
};

Options parseOptions(int argc, char** argv) {
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
        fail(2, "usage: time_to_window [--input FILE] -- COMMAND [ARGS...]");
    }
    if (i >= argc) {
        fail(2, "usage: time_to_window [--input FILE] -- COMMAND [ARGS...]");
    }
    options.argv.assign(argv + i, argv + argc);
    options.argv.push_back(nullptr);
    return options;
}

// The child runs in a process group of its own, so that a wrapper (a shell, a launcher script) and whatever
// it started can be recognised as the command's own and terminated together.
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
    // SIGCHLD is blocked here so that it can be read from a signalfd; the command must not inherit that.
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
        std::fprintf(stderr, "time_to_window: cannot start %s: %s\n", options.argv[0], std::strerror(error));
        std::exit(2);
    }
    return pid;
}

class Child {
  public:
    Child(pid_t pid, int signals) : pid_(pid), signals_(signals) {}

    // True once the direct child has ended; reaps it.
    bool reapIfExited() {
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

    void terminate() {
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

    // A window belongs to the command when the process that says it made it is the child or one of the
    // processes in the child's group.
    bool owns(pid_t windowPid) const { return windowPid == pid_ || getpgid(windowPid) == pid_; }

  private:
    pid_t pid_;
    int signals_;
    bool exited_ = false;
};

// Events carry only the low 16 bits of the sequence number of the last request the server had processed from
// this client when it generated them.
bool processedBy(const xcb_generic_event_t& event, unsigned int request) {
    return static_cast<uint16_t>(event.sequence - static_cast<uint16_t>(request)) < 0x8000;
}

// One window the tool has seen appear since the command started.
struct Candidate {
    unsigned int exposureRequest = 0; // sequence of the request that selected its Expose events
    bool exposureSelected = false;
    std::optional<double> mappedAt;
    bool exposureInEffectAtMap = false;
    std::optional<double> exposedAt;
    std::optional<unsigned int> pidRequest; // the pending read of its _NET_WM_PID
    std::optional<bool> ours;               // decided once that read answers
};

class Watcher {
  public:
    Watcher(xcb_connection_t* connection, xcb_atom_t pidAtom, Child& child)
        : connection_(connection), pidAtom_(pidAtom), child_(child) {}

    // Handles one event; returns the window whose timing is complete, if any.
    std::optional<xcb_window_t> handle(const xcb_generic_event_t& event, double at) {
        switch (event.response_type & 0x7f) {
        case XCB_CREATE_NOTIFY: {
            const auto& created = reinterpret_cast<const xcb_create_notify_event_t&>(event);
            // Asking for Expose as soon as the window exists is what gives this tool a chance to see the
            // first one: the server sends it only to clients that selected it before the window was mapped.
            const uint32_t mask = XCB_EVENT_MASK_EXPOSURE;
            const auto cookie =
                xcb_change_window_attributes(connection_, created.window, XCB_CW_EVENT_MASK, &mask);
            xcb_flush(connection_);
            Candidate& candidate = candidates_[created.window];
            candidate.exposureRequest = cookie.sequence;
            candidate.exposureSelected = true;
            return std::nullopt;
        }
        case XCB_MAP_NOTIFY: {
            const auto& mapped = reinterpret_cast<const xcb_map_notify_event_t&>(event);
            Candidate& candidate = candidates_[mapped.window];
            if (candidate.mappedAt) {
                return std::nullopt;
            }
            candidate.mappedAt = at;
            candidate.exposureInEffectAtMap =
                candidate.exposureSelected && processedBy(event, candidate.exposureRequest);
            if (pidAtom_ == XCB_ATOM_NONE) {
                candidate.ours = true;
            } else {
                candidate.pidRequest =
                    xcb_get_property(connection_, 0, mapped.window, pidAtom_, XCB_ATOM_CARDINAL, 0, 1)
                        .sequence;
                xcb_flush(connection_);
            }
            return complete(mapped.window);
        }
        case XCB_EXPOSE: {
            const auto& exposed = reinterpret_cast<const xcb_expose_event_t&>(event);
            const auto found = candidates_.find(exposed.window);
            if (found == candidates_.end() || found->second.exposedAt) {
                return std::nullopt;
            }
            found->second.exposedAt = at;
            return complete(exposed.window);
        }
        case XCB_DESTROY_NOTIFY: {
            const auto& destroyed = reinterpret_cast<const xcb_destroy_notify_event_t&>(event);
            const auto found = candidates_.find(destroyed.window);
            // A window that went before it could be timed is no answer; one mapped but never exposed still
            // is.
            if (found != candidates_.end() && found->second.mappedAt && found->second.ours.value_or(true)) {
                found->second.exposureInEffectAtMap = false;
                return complete(destroyed.window);
            }
            return std::nullopt;
        }
        default:
            // Errors (a window destroyed before the tool asked about it) and everything else are of no
            // interest.
            return std::nullopt;
        }
    }

    // Collects the answers to _NET_WM_PID reads that have arrived; returns a window whose timing is complete.
    std::optional<xcb_window_t> collectReplies() {
        for (auto& [window, candidate] : candidates_) {
            if (!candidate.pidRequest) {
                continue;
            }
            void* raw = nullptr;
            xcb_generic_error_t* error = nullptr;
            if (xcb_poll_for_reply(connection_, *candidate.pidRequest, &raw, &error) == 0) {
                continue;
            }
            std::free(error);
            Reply<xcb_get_property_reply_t> reply(static_cast<xcb_get_property_reply_t*>(raw), &std::free);
            candidate.pidRequest.reset();
            if (reply && reply->format == 32 && xcb_get_property_value_length(reply.get()) == 4) {
                uint32_t pid = 0;
                std::memcpy(&pid, xcb_get_property_value(reply.get()), sizeof pid);
                candidate.ours = child_.owns(static_cast<pid_t>(pid));
            } else {
                // A window without the property cannot be told apart; on a private display it is the
                // command's.
                candidate.ours = reply != nullptr;
            }
            if (const auto done = complete(window)) {
                return done;
            }
        }
        return std::nullopt;
    }

    const Candidate& candidate(xcb_window_t window) const { return candidates_.at(window); }

  private:
    std::optional<xcb_window_t> complete(xcb_window_t window) const {
        const Candidate& candidate = candidates_.at(window);
        if (!candidate.mappedAt || !candidate.ours.value_or(false)) {
            return std::nullopt;
        }
        if (candidate.exposureInEffectAtMap && !candidate.exposedAt) {
            return std::nullopt;
        }
        return window;
    }

    xcb_connection_t* connection_;
    xcb_atom_t pidAtom_;
    Child& child_;
    std::unordered_map<xcb_window_t, Candidate> candidates_;
};

std::string formatMs(std::optional<double> ms) {
    if (!ms) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", *ms);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);

    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection)) {
        fail(2, "cannot connect to the display named by DISPLAY");
    }
    const xcb_setup_t* setup = xcb_get_setup(connection);
    auto screens = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    if (screens.rem == 0) {
        fail(2, "the display has no such screen");
    }
    const xcb_window_t root = screens.data->root;
    const xcb_atom_t pidAtom = internAtom(connection, "_NET_WM_PID");
    const uint32_t rootMask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    // Checked, so that the selection is known to be in force before the command starts.
    Reply<xcb_generic_error_t> selectError(
        xcb_request_check(
            connection, xcb_change_window_attributes_checked(connection, root, XCB_CW_EVENT_MASK, &rootMask)),
        &std::free);
    if (selectError) {
        fail(2, "cannot watch the root window");
    }

    sigset_t childSignals;
    sigemptyset(&childSignals);
    sigaddset(&childSignals, SIGCHLD);
    sigprocmask(SIG_BLOCK, &childSignals, nullptr);
    const int signals = signalfd(-1, &childSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signals < 0) {
        fail(2, "cannot watch the command");
    }

    const double start = nowMs();
    Child child(spawnCommand(options), signals);
    Watcher watcher(connection, pidAtom, child);
    const double deadline = start + deadlineMs;

    std::optional<xcb_window_t> found;
    while (!found) {
        while (xcb_generic_event_t* raw = xcb_poll_for_event(connection)) {
            const double at = nowMs();
            Reply<xcb_generic_event_t> event(raw, &std::free);
            if (!found) {
                found = watcher.handle(*event, at);
            }
        }
        if (!found) {
            found = watcher.collectReplies();
        }
        if (found) {
            break;
        }
        if (xcb_connection_has_error(connection)) {
            child.terminate();
            fail(2, "lost the connection to the display");
        }
        if (child.reapIfExited()) {
            child.terminate();
            return 1;
        }
        const double left = deadline - nowMs();
        if (left <= 0) {
            child.terminate();
            return 1;
        }
        pollfd fds[2] = {{xcb_get_file_descriptor(connection), POLLIN, 0}, {signals, POLLIN, 0}};
        poll(fds, 2, static_cast<int>(left) + 1);
    }

    child.terminate();
    const Candidate& window = watcher.candidate(*found);
    const std::optional<double> exposed =
        window.exposedAt ? std::optional<double>(*window.exposedAt - start) : std::nullopt;
    std::printf("%s %s\n", formatMs(*window.mappedAt - start).c_str(), formatMs(exposed).c_str());
    xcb_disconnect(connection);
    return 0;
}
