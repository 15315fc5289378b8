#include "connect/session.h"

#include "connect/environment.h"
#include "connect/file_checks.h"
#include "connect/json_values.h"

#include <boost/url/parse.hpp>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>

namespace ConnectSession {
namespace {

// The rules that both the path and the opened descriptor must pass.
bool isSafe(const struct stat& info, std::uint32_t uid) {
    return S_ISREG(info.st_mode) && static_cast<std::uint32_t>(info.st_uid) == uid &&
           (info.st_mode & 077) == 0 && info.st_size >= 1 && info.st_size <= maxSessionBytes;
}

// Reads the file through one descriptor that is checked again after opening, so that a file swapped in
// between the checks and the read (a link, a FIFO, another file) is refused rather than read, and a read
// never blocks nor grows past the limit.
ConnectResult<std::string> readChecked(const std::string& path, std::uint32_t uid) {
    struct stat byPath {};
    if (::lstat(path.c_str(), &byPath) != 0) {
        return tl::unexpected(ConnectProblem::noSession);
    }
    if (!isSafe(byPath, uid)) {
        return tl::unexpected(ConnectProblem::unsafeFile);
    }
    FileChecks::Descriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    if (file.get() < 0 || ::fstat(file.get(), &opened) != 0 || !isSafe(opened, uid) ||
        opened.st_dev != byPath.st_dev || opened.st_ino != byPath.st_ino) {
        return tl::unexpected(ConnectProblem::unsafeFile);
    }
    auto bytes = FileChecks::readAtMost(file.get(), static_cast<std::size_t>(maxSessionBytes));
    if (!bytes || bytes->empty() || bytes->size() > static_cast<std::size_t>(maxSessionBytes)) {
        return tl::unexpected(ConnectProblem::unsafeFile);
    }
    return std::move(*bytes);
}

bool followsPairingRules(const boost::urls::url_view& url, std::int64_t port) {
    if (!url.has_scheme() || url.scheme() != "http") {
        return false;
    }
    if (url.has_userinfo()) {
        return false;
    }
    if (!url.has_authority() || url.encoded_host() != "127.0.0.1") {
        return false;
    }
    if (!url.has_port() || url.port().empty() || url.port_number() != port) {
        return false;
    }
    if (url.encoded_path() != "/pair") {
        return false;
    }
    if (url.has_query()) {
        return false;
    }
    // As written, not decoded: "%74oken=" is not the key the companion's page looks for.
    return url.has_fragment() && url.encoded_fragment().starts_with("token=");
}

} // namespace

ConnectResult<ConnectDraft> parseDraft(std::string_view bytes) {
    const auto document = JsonValues::parseObject(bytes);
    if (!document) {
        return tl::unexpected(ConnectProblem::malformedSession);
    }
    const auto portMember = document->find("port");
    const auto port = portMember == document->end() ? std::nullopt : JsonValues::wholeNumber(*portMember);
    if (!port || !allowedPortRange.contains(*port)) {
        return tl::unexpected(ConnectProblem::malformedSession);
    }
    const std::string* pairUrl = JsonValues::stringMember(*document, "pairUrl");
    if (pairUrl == nullptr) {
        return tl::unexpected(ConnectProblem::malformedSession);
    }
    const auto url = boost::urls::parse_uri(*pairUrl);
    if (!url || !followsPairingRules(*url, *port)) {
        return tl::unexpected(ConnectProblem::malformedSession);
    }
    return ConnectDraft{*port, boost::urls::url(*url)};
}

ConnectResult<ConnectDraft> readDraft(const std::string& sessionPath, std::uint32_t uid) {
    return readChecked(sessionPath, uid).and_then(parseDraft);
}

std::optional<std::string> token(const boost::urls::url_view& pairURL) {
    if (!pairURL.has_fragment()) {
        return std::nullopt;
    }
    // The companion's page reads the raw fragment, so the verifier must be given the same text: decoding it
    // here would cut "abc%26def" at the decoded "&" or put a NUL byte from "%00" into the script's input.
    std::string_view rest = pairURL.encoded_fragment();
    while (!rest.empty()) {
        const auto end = rest.find('&');
        const std::string_view piece = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        const auto equals = piece.find('=');
        if (equals == std::string_view::npos || piece.substr(0, equals) != "token") {
            continue;
        }
        const std::string_view value = piece.substr(equals + 1);
        if (!value.empty() && value.find('\n') == std::string_view::npos) {
            return std::string(value);
        }
    }
    return std::nullopt;
}

} // namespace ConnectSession

namespace ConfigurationBundle {

std::filesystem::path homeDirectory() {
    if (const char* home = environmentVariable("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    passwd entry{};
    passwd* found = nullptr;
    std::string buffer(16384, '\0');
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return {};
}

std::filesystem::path sessionPath(const std::vector<std::string>& arguments,
                                  const std::filesystem::path& home) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--session") {
            if (i + 1 < arguments.size()) {
                return arguments[i + 1];
            }
            break;
        }
    }
    return home / ".tessaly-mcp" / "session.json";
}

} // namespace ConfigurationBundle
