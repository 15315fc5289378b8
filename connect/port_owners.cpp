#include "connect/port_owners.h"

#include "connect/file_checks.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <system_error>
#include <unistd.h>

namespace PortOwners {
namespace {

constexpr std::uint32_t listenState = 0x0A;

using Bytes = std::array<std::uint8_t, 16>;
constexpr Bytes anyV4{};
constexpr Bytes loopbackV4{127, 0, 0, 1};
constexpr Bytes anyV6{};
constexpr Bytes mappedLoopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};

/// Exactly `width` hex digits, nothing else: the kernel pads every number it prints in the tables.
bool readHex(std::string_view digits, std::size_t width, std::uint32_t& value) {
    const char* end = digits.data() + digits.size();
    const auto [stop, failure] = std::from_chars(digits.data(), end, value, 16);
    return digits.size() == width && stop == end && failure == std::errc{};
}

/// The kernel prints each 32-bit word of an address as it lies in memory, read as a host-order number; the
/// same host order turns it back into the address's bytes.
bool addressBytes(std::string_view hex, Bytes& bytes, std::size_t& length) {
    constexpr std::size_t wordDigits = 8;
    if (hex.size() != wordDigits && hex.size() != 4 * wordDigits) {
        return false;
    }
    length = hex.size() / 2;
    for (std::size_t at = 0; at < hex.size(); at += wordDigits) {
        std::uint32_t word = 0;
        if (!readHex(hex.substr(at, wordDigits), wordDigits, word)) {
            return false;
        }
        std::memcpy(bytes.data() + at / 2, &word, sizeof word);
    }
    return true;
}

bool reachedFromLoopback(std::string_view hex) {
    Bytes bytes{};
    std::size_t length = 0;
    if (!addressBytes(hex, bytes, length)) {
        return false;
    }
    if (length == 4) {
        return bytes == loopbackV4 || bytes == anyV4;
    }
    return bytes == anyV6 || bytes == mappedLoopback;
}

/// The next field of `line` separated by blanks, taken off it; empty at the end of the line.
std::string_view takeField(std::string_view& line) {
    const auto start = line.find_first_not_of(" \t\r");
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    const std::string_view field = line.substr(0, line.find_first_of(" \t\r"));
    line.remove_prefix(field.size());
    return field;
}

/// The uid of a row that listens at `port` where 127.0.0.1 reaches it; none for any other row, a header or a
/// line that does not read as a row.
std::optional<std::uint32_t> listenerAt(std::string_view line, std::uint32_t port) {
    // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid
    std::array<std::string_view, 8> fields;
    for (auto& field : fields) {
        field = takeField(line);
        if (field.empty()) {
            return std::nullopt;
        }
    }
    const std::string_view local = fields[1];
    const auto colon = local.rfind(':');
    std::uint32_t localPort = 0;
    std::uint32_t state = 0;
    if (colon == std::string_view::npos || !readHex(local.substr(colon + 1), 4, localPort) ||
        localPort != port || !readHex(fields[3], 2, state) || state != listenState ||
        !reachedFromLoopback(local.substr(0, colon))) {
        return std::nullopt;
    }
    const std::string_view uidText = fields[7];
    std::uint32_t uid = 0;
    const char* end = uidText.data() + uidText.size();
    const auto [stop, failure] = std::from_chars(uidText.data(), end, uid);
    if (stop != end || failure != std::errc{}) {
        return std::nullopt;
    }
    return uid;
}

/// The part of `table` that is looked at: all of it within the bound, else its complete rows within it, so
/// that a row cut short (a uid "10" of "1000") is never read.
std::string_view withinBound(std::string_view table) {
    if (table.size() <= maxTableBytes) {
        return table;
    }
    const auto lastEnd = table.substr(0, maxTableBytes).rfind('\n');
    return lastEnd == std::string_view::npos ? std::string_view{} : table.substr(0, lastEnd + 1);
}

/// Up to just past maxTableBytes of `path`.
std::optional<std::string> readTable(const char* path) {
    const FileChecks::Descriptor file(::open(path, O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        return std::nullopt;
    }
    return FileChecks::readAtMost(file.get(), maxTableBytes);
}

} // namespace

std::vector<std::string> readSystemTables() {
    std::vector<std::string> tables;
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        if (auto text = readTable(path)) {
            tables.push_back(std::move(*text));
        }
    }
    return tables;
}

std::vector<std::uint32_t> listeners(std::string_view table, std::int64_t port) {
    std::vector<std::uint32_t> uids;
    if (port < 0 || port > 0xFFFF) {
        return uids;
    }
    for (std::string_view rest = withinBound(table); !rest.empty();) {
        const auto end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (const auto uid = listenerAt(line, static_cast<std::uint32_t>(port))) {
            uids.push_back(*uid);
        }
    }
    std::sort(uids.begin(), uids.end());
    uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
    return uids;
}

bool heldByAnotherUser(std::int64_t port, std::uint32_t uid, const TableReader& read) {
    // Tables that cannot be read, or memory that runs out, leave the question open: the verifier decides.
    try {
        for (const std::string& table : read()) {
            const auto owners = listeners(table, port);
            if (std::any_of(owners.begin(), owners.end(),
                            [&](std::uint32_t owner) { return owner != uid; })) {
                return true;
            }
        }
    } catch (...) {
    }
    return false;
}

} // namespace PortOwners
