#pragma once

#include "connect/records.h"

#include <boost/url/url_view.hpp>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

/// The companion's session file and what it says: where the companion listens and which page pairs a browser.
namespace ConnectSession {

inline constexpr std::int64_t maxSessionBytes = 8192;

struct PortRange {
    std::int64_t lowerBound;
    std::int64_t upperBound;
    constexpr bool contains(std::int64_t port) const { return port >= lowerBound && port <= upperBound; }
};
inline constexpr PortRange allowedPortRange{1024, 65535};

/// Reads and checks the session file at `sessionPath`: a regular file owned by `uid`, with no group or
/// other permission bits, of 1 to maxSessionBytes bytes, holding a JSON object whose "port" and "pairUrl"
/// name the pairing page on the loopback address. Answers noSession, unsafeFile or malformedSession.
ConnectResult<ConnectDraft> readDraft(const std::string& sessionPath, std::uint32_t uid = getuid());

/// The content rules of a session file alone: a JSON object whose "port" and "pairUrl" name the pairing page
/// on the loopback address. Answers malformedSession otherwise.
ConnectResult<ConnectDraft> parseDraft(std::string_view bytes);

/// The session token carried in the fragment of a pairing URL, as the URL carries it (percent-escapes left
/// as written), or none: the value of the first "&"-separated piece whose key is exactly "token" and whose
/// value is non-empty and has no line feed.
std::optional<std::string> token(const boost::urls::url_view& pairURL);

/// The companion's health report in `bytes`, or none unless it is a complete, successful one.
std::optional<BrokerHealth> parseHealth(std::string_view bytes);

} // namespace ConnectSession

namespace ConfigurationBundle {

/// The current user's home directory: $HOME, else the password database's entry.
std::filesystem::path homeDirectory();

/// The session file named by the first "--session PATH" pair of `arguments` (program path first), else
/// the default one under `home`.
std::filesystem::path sessionPath(const std::vector<std::string>& arguments,
                                  const std::filesystem::path& home = homeDirectory());

} // namespace ConfigurationBundle
