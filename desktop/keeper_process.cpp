#include "desktop/keeper_process.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace Keeper {

bool isAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

std::vector<std::string_view> textTypes(std::string_view text) {
    std::vector<std::string_view> types{"text/plain;charset=utf-8", "UTF8_STRING"};
    if (isAscii(text)) {
        types.insert(types.end(), {"text/plain", "STRING", "TEXT"});
    }
    return types;
}

namespace {

void closeInheritedDescriptors() {
    if (::close_range(3, ~0U, 0) != 0) {
        for (int fd = 3; fd < 1024; ++fd) {
            ::close(fd);
        }
    }
}

std::optional<std::string> readText(int fd) {
    std::string text;
    std::array<char, 8192> buffer{};
    for (;;) {
        const ssize_t count = ::read(fd, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return std::nullopt;
        }
        if (count == 0) {
            return text.empty() ? std::nullopt : std::optional<std::string>(std::move(text));
        }
        text.append(buffer.data(), static_cast<std::size_t>(count));
        if (text.size() > maxTextBytes) {
            return std::nullopt;
        }
    }
}

void ignoreHangups() {
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}

// The server outlives the caller and any terminal it was started from.
void detach() {
    if (::setsid() < 0 || ::chdir("/") != 0) {
        std::_Exit(1);
    }
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0 || ::dup2(null, STDIN_FILENO) < 0 || ::dup2(null, STDOUT_FILENO) < 0) {
        std::_Exit(1);
    }
    if (null > STDERR_FILENO) {
        ::close(null);
    }
}

} // namespace

tl::expected<std::string, int> takeText(int argc) {
    closeInheritedDescriptors();
    if (argc != 1) {
        return tl::unexpected(2);
    }
    std::optional<std::string> text = readText(STDIN_FILENO);
    if (!text) {
        return tl::unexpected(1);
    }
    ignoreHangups();
    return std::move(*text);
}

bool becomeServer() {
    const pid_t child = ::fork();
    if (child < 0) {
        return false;
    }
    if (child > 0) {
        constexpr std::string_view ready = "ready\n";
        const bool written =
            ::write(STDOUT_FILENO, ready.data(), ready.size()) == static_cast<ssize_t>(ready.size());
        ::_exit(written ? 0 : 1);
    }
    detach();
    return true;
}

} // namespace Keeper
