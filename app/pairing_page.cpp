#include "app/pairing_page.h"

#include "app/output.h"
#include "connect/ascii.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PairingPage {
namespace {

constexpr std::string_view hexDigits = "0123456789ABCDEF";

void appendHex(std::string& out, unsigned char byte) {
    out += hexDigits[byte >> 4];
    out += hexDigits[byte & 0xF];
}

/// `text` with every byte but ASCII letters, digits and those in `plain` written as `escape` and the byte's
/// two hex digits.
std::string escapedBytes(std::string_view text, std::string_view plain, std::string_view escape) {
    std::string out;
    for (const char c : text) {
        if (Ascii::isLetter(c) || Ascii::isDigit(c) || plain.find(c) != std::string_view::npos) {
            out += c;
        } else {
            out += escape;
            appendHex(out, static_cast<unsigned char>(c));
        }
    }
    return out;
}

/// For an attribute value in double quotes.
std::string escapedForHTML(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

/// For a string literal in double quotes inside a script element: quotes, backslashes and the characters
/// that could close the element or open a comment become \u escapes.
std::string escapedForScript(std::string_view text) {
    return escapedBytes(text, "-._~:/?#[]@!$&()*+,;=%", "\\u00");
}

/// 128 random bits in hex: a name that another local user can neither guess nor plant ahead of us.
std::optional<std::string> unguessableName() {
    std::array<unsigned char, 16> bytes{};
    if (::getrandom(bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        return std::nullopt;
    }
    std::string name = "pair-";
    for (const unsigned char byte : bytes) {
        appendHex(name, byte);
    }
    return name + ".html";
}

} // namespace

std::optional<std::string> html(std::string_view url) {
    if (url.empty()) {
        return std::nullopt;
    }
    for (const char c : url) {
        if (c <= ' ' || c > '~') {
            return std::nullopt;
        }
    }
    const std::string attribute = escapedForHTML(url);
    return "<!doctype html>\n<html><head><meta charset=\"utf-8\">\n"
           "<meta name=\"referrer\" content=\"no-referrer\">\n"
           "<meta http-equiv=\"refresh\" content=\"0;url=" +
           attribute +
           "\">\n<title>Tessaly pairing</title>\n"
           "<script>location.replace(\"" +
           escapedForScript(url) + "\");</script>\n</head><body><p><a href=\"" + attribute +
           "\">Open the pairing page</a></p></body></html>\n";
}

std::string fileURL(const std::filesystem::path& path) {
    return "file://" + escapedBytes(path.native(), "-._~/", "%");
}

File::~File() {
    ::unlink(path_.c_str());
}

std::unique_ptr<File> write(const std::filesystem::path& folder, std::string_view url) {
    const auto text = html(url);
    if (!text) {
        return nullptr;
    }
    // A clash with an existing name is all but impossible; a few tries still keep a planted file from
    // turning into a failure.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto name = unguessableName();
        if (!name) {
            return nullptr;
        }
        auto path = folder / *name;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) {
            continue;
        }
        if (fd < 0) {
            return nullptr;
        }
        // Owned from here: the file goes again if it cannot be completed. The mode is set outright, since
        // the creation's is only what the umask lets through.
        auto page = std::make_unique<File>(std::move(path));
        const bool complete = ::fchmod(fd, 0600) == 0 && writeAll(fd, *text);
        const bool closed = ::close(fd) == 0;
        return complete && closed ? std::move(page) : nullptr;
    }
    return nullptr;
}

} // namespace PairingPage
