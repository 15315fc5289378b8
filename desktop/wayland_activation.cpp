// The Wayland half of LaunchActivation: a token from the compositor's activation global, asked for on a
// connection of our own.
#include "connect/environment.h"
#include "desktop/launch_activation.h"
#include "xdg-activation-v1-client-protocol.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <wayland-client.h>

namespace LaunchActivation {
namespace {

using Clock = std::chrono::steady_clock;

/// The compositor's socket, named as the client library names it. Connected here rather than by the
/// library, which would first take $WAYLAND_SOCKET: a descriptor handed to this process for Qt's own
/// connection.
int connectToCompositor() {
    const char* display = environmentVariable("WAYLAND_DISPLAY");
    if (display == nullptr || *display == '\0') {
        return -1;
    }
    std::string path = display;
    if (path.front() != '/') {
        const char* runtime = environmentVariable("XDG_RUNTIME_DIR");
        if (runtime == nullptr || *runtime != '/') {
            return -1;
        }
        path = std::string(runtime) + "/" + path;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

/// What the listeners fill in.
struct Answers {
    xdg_activation_v1* activation = nullptr;
    std::optional<std::string> token;
    bool synced = false;
};

void announced(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
               std::uint32_t /*version*/) {
    auto& answers = *static_cast<Answers*>(data);
    if (answers.activation == nullptr && std::strcmp(interface, xdg_activation_v1_interface.name) == 0) {
        answers.activation = static_cast<xdg_activation_v1*>(
            wl_registry_bind(registry, name, &xdg_activation_v1_interface, 1));
    }
}

void withdrawn(void* /*data*/, wl_registry* /*registry*/, std::uint32_t /*name*/) {}

const wl_registry_listener registryListener{announced, withdrawn};

void synced(void* data, wl_callback* /*callback*/, std::uint32_t /*serial*/) {
    static_cast<Answers*>(data)->synced = true;
}

const wl_callback_listener syncListener{synced};

void tokenDone(void* data, xdg_activation_token_v1* /*token*/, const char* token) {
    static_cast<Answers*>(data)->token = token;
}

const xdg_activation_token_v1_listener tokenListener{tokenDone};

/// Dispatches the connection's events until `done` holds, the connection fails or `deadline` passes.
bool dispatchUntil(wl_display* display, const std::function<bool()>& done, Clock::time_point deadline) {
    while (!done()) {
        if (wl_display_prepare_read(display) != 0) {
            if (wl_display_dispatch_pending(display) < 0) {
                return false;
            }
            continue;
        }
        if (wl_display_flush(display) < 0 && errno != EAGAIN) {
            wl_display_cancel_read(display);
            return false;
        }
        const auto left = std::chrono::duration<double, std::milli>(deadline - Clock::now()).count();
        pollfd readable{wl_display_get_fd(display), POLLIN, 0};
        const int ready = left > 0 ? ::poll(&readable, 1, static_cast<int>(std::ceil(left))) : 0;
        if (ready <= 0) {
            wl_display_cancel_read(display);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0) {
            return false;
        }
    }
    return true;
}

/// Asks the connected compositor for a token, within the deadline.
std::optional<std::string> askForToken(wl_display* display, const std::string& desktopId,
                                       Clock::time_point deadline) {
    Answers answers;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, &answers);
    wl_callback* sync = wl_display_sync(display);
    wl_callback_add_listener(sync, &syncListener, &answers);
    dispatchUntil(
        display, [&] { return answers.synced; }, deadline);
    wl_callback_destroy(sync);
    if (answers.activation != nullptr) {
        xdg_activation_token_v1* request = xdg_activation_v1_get_activation_token(answers.activation);
        xdg_activation_token_v1_add_listener(request, &tokenListener, &answers);
        // No serial and no surface: ours belong to Qt's connection, out of reach. The compositor decides
        // what a token without them is worth.
        xdg_activation_token_v1_set_app_id(request, desktopId.c_str());
        xdg_activation_token_v1_commit(request);
        dispatchUntil(
            display, [&] { return answers.token.has_value(); }, deadline);
        xdg_activation_token_v1_destroy(request);
        xdg_activation_v1_destroy(answers.activation);
    }
    wl_registry_destroy(registry);
    return answers.token;
}

} // namespace

std::optional<std::string> waylandToken(const std::string& desktopId) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(answerSeconds));
    const int fd = connectToCompositor();
    if (fd < 0) {
        return std::nullopt;
    }
    // The display owns the descriptor from here: it closes it when disconnected, or at once on failure.
    wl_display* display = wl_display_connect_to_fd(fd);
    if (display == nullptr) {
        return std::nullopt;
    }
    auto token = askForToken(display, desktopId, deadline);
    wl_display_flush(display);
    wl_display_disconnect(display);
    return token;
}

} // namespace LaunchActivation
