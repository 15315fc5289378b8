// Measures how long a command takes from its start until the compositor maps its first top-level window,
// under sway: the "new" window event of sway's IPC, whose container names the client's process. A Wayland
// window is mapped with its first frame already drawn, so the map is the moment it is on screen.
//
// Usage: time_to_window_sway [--input FILE] -- COMMAND [ARGS...]
//
// Prints one line, "MAP_MS -", with 0.1 ms precision: the shape of time_to_window's line, which has no
// separate first paint to report here. Exits 1 without printing anything when no window appears within 10
// seconds or the command exits first, and 2 on a usage or setup error. The command and everything it started
// are terminated once the window is seen.
#include "clock.h"
#include "timed_command.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using TimedCommand::Child;
using TimedCommand::fail;

// The IPC's framing: a magic string, then the payload's length and the message's type in the host's order.
constexpr std::string_view magic = "i3-ipc";
constexpr std::size_t headerSize = magic.size() + 2 * sizeof(uint32_t);
constexpr uint32_t subscribeType = 2;
constexpr uint32_t windowEventType = 0x80000003;

int connectToSway() {
    const char* path = std::getenv("SWAYSOCK");
    sockaddr_un address{};
    if (path == nullptr || std::strlen(path) >= sizeof address.sun_path) {
        fail(2, "SWAYSOCK names no usable socket");
    }
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        fail(2, "cannot connect to sway's IPC socket");
    }
    return fd;
}

void send(int fd, uint32_t type, std::string_view payload) {
    std::string message(magic);
    const auto length = static_cast<uint32_t>(payload.size());
    message.append(reinterpret_cast<const char*>(&length), sizeof length);
    message.append(reinterpret_cast<const char*>(&type), sizeof type);
    message.append(payload);
    if (write(fd, message.data(), message.size()) != static_cast<ssize_t>(message.size())) {
        fail(2, "cannot write to sway's IPC socket");
    }
}

// What the socket has delivered, cut into messages.
class Messages {
  public:
    explicit Messages(int fd) : fd_(fd) {}

    /// Reads what is there (waiting for it when `block`); false when the socket has closed or failed.
    bool fill(bool block) {
        char chunk[65536];
        const ssize_t count = recv(fd_, chunk, sizeof chunk, block ? 0 : MSG_DONTWAIT);
        if (count > 0) {
            buffer_.append(chunk, static_cast<std::size_t>(count));
            return true;
        }
        return count < 0 && (errno == EAGAIN || errno == EINTR);
    }

    /// The next whole message, as its type and payload.
    std::optional<std::pair<uint32_t, std::string>> next() {
        if (buffer_.size() < headerSize) {
            return std::nullopt;
        }
        if (std::string_view(buffer_).substr(0, magic.size()) != magic) {
            fail(2, "sway's IPC answered with something else");
        }
        uint32_t length = 0;
        uint32_t type = 0;
        std::memcpy(&length, buffer_.data() + magic.size(), sizeof length);
        std::memcpy(&type, buffer_.data() + magic.size() + sizeof length, sizeof type);
        if (buffer_.size() < headerSize + length) {
            return std::nullopt;
        }
        std::pair<uint32_t, std::string> message{type, buffer_.substr(headerSize, length)};
        buffer_.erase(0, headerSize + length);
        return message;
    }

  private:
    int fd_;
    std::string buffer_;
};

// The process of a newly mapped window, from a window event's payload.
std::optional<pid_t> newWindowPid(const std::string& payload) {
    const auto event = nlohmann::json::parse(payload, nullptr, false);
    if (!event.is_object() || event.value("change", "") != "new" || !event.contains("container")) {
        return std::nullopt;
    }
    const auto& pid = event["container"]["pid"];
    return pid.is_number_integer() ? std::optional<pid_t>(pid.get<pid_t>()) : std::nullopt;
}

} // namespace

int main(int argc, char** argv) {
    const TimedCommand::Options options = TimedCommand::parseOptions(
        argc, argv, "usage: time_to_window_sway [--input FILE] -- COMMAND [ARGS...]");

    const int socket = connectToSway();
    Messages messages(socket);
    // Its answer says the subscription is in force, before the command starts.
    send(socket, subscribeType, R"(["window"])");
    std::optional<std::pair<uint32_t, std::string>> answer;
    while (!(answer = messages.next())) {
        if (!messages.fill(true)) {
            fail(2, "sway's IPC closed before answering the subscription");
        }
    }
    const auto subscribed = nlohmann::json::parse(answer->second, nullptr, false);
    if (answer->first != subscribeType || !subscribed.is_object() ||
        subscribed.value("success", false) != true) {
        fail(2, "sway refused the subscription to window events");
    }

    Child child(options);
    std::optional<double> mappedAt;
    const bool seen = child.awaitWindow(socket, [&] {
        if (!messages.fill(false)) {
            child.terminate();
            fail(2, "lost the connection to sway");
        }
        const double at = nowMs();
        while (const auto message = messages.next()) {
            if (message->first != windowEventType || mappedAt) {
                continue;
            }
            if (const auto pid = newWindowPid(message->second); pid && child.owns(*pid)) {
                mappedAt = at;
            }
        }
        return mappedAt.has_value();
    });
    child.terminate();
    close(socket);
    if (!seen) {
        return 1;
    }
    std::printf("%.1f -\n", *mappedAt - child.startedAt());
    return 0;
}
