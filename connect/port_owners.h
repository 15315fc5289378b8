#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

/// Who listens at a loopback port, as the kernel's TCP tables tell. A session file outlives its companion:
/// the port it names may since have been taken by another user on this machine, who must not be sent the
/// token nor have a browser paired with them.
namespace PortOwners {

/// The most of one table that is read. The kernel lists listening sockets before connected ones, so even a
/// table cut here holds every listener in all but the most crowded systems.
inline constexpr std::size_t maxTableBytes = std::size_t{16} << 20;

/// The text of each TCP table that could be read (IPv4 and IPv6 alike); none when none could.
using TableReader = std::function<std::vector<std::string>()>;

/// /proc/net/tcp and /proc/net/tcp6, each cut after its last complete row within maxTableBytes.
std::vector<std::string> readSystemTables();

/// The uids of the sockets that one table (a header line, then rows "sl local_address rem_address st ...
/// uid ...") shows listening at `port` on an address that 127.0.0.1 reaches: 127.0.0.1, 0.0.0.0, :: or
/// ::ffff:127.0.0.1. Sorted, each once. Rows that do not read as the kernel writes them are skipped.
std::vector<std::uint32_t> listeners(std::string_view table, std::int64_t port);

/// True when a socket of a user other than `uid` listens at `port` where 127.0.0.1 reaches it: what answers
/// there is not that user's companion. False when only `uid` listens there, nothing does, or the tables
/// cannot be read. The desktop asks this right before it opens a pairing page, so that a port taken over
/// since the verifier ran does not get the token either.
bool heldByAnotherUser(std::int64_t port, std::uint32_t uid, const TableReader& read = readSystemTables);

} // namespace PortOwners
