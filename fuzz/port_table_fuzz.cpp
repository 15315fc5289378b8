// The kernel's TCP tables decide whether a session's token may be sent at all: no table, however mangled, may
// crash or overrun the reader, and every uid it answers must come from a LISTEN row at the port asked about.
// Input: the port in decimal on the first line, then the table.
#include "connect/port_owners.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> found;
    std::size_t at = 0;
    while ((at = line.find_first_not_of(" \t\r", at)) != std::string_view::npos) {
        const std::size_t end = std::min(line.find_first_of(" \t\r", at), line.size());
        found.push_back(line.substr(at, end - at));
        at = end;
    }
    return found;
}

bool sameLetters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

// A row that backs the answer `uid`: LISTEN, at the port, with that uid (leading zeros aside).
bool backedByARow(std::string_view table, std::int64_t port, std::uint32_t uid) {
    char portText[8];
    std::snprintf(portText, sizeof portText, ":%04X", static_cast<unsigned>(port));
    const std::string uidText = std::to_string(uid);
    for (std::size_t start = 0; start <= table.size();) {
        const std::size_t end = std::min(table.find('\n', start), table.size());
        const auto row = fields(table.substr(start, end - start));
        start = end + 1;
        if (row.size() < 8 || row[1].size() < 5 || !sameLetters(row[1].substr(row[1].size() - 5), portText) ||
            !sameLetters(row[3], "0A")) {
            continue;
        }
        std::string_view owner = row[7];
        owner.remove_prefix(std::min(owner.find_first_not_of('0'), owner.size() - 1));
        if (owner == uidText) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t lineEnd = std::min(input.find('\n'), input.size());
    std::int64_t port = 0;
    if (std::from_chars(input.data(), input.data() + lineEnd, port).ptr != input.data() + lineEnd) {
        return 0;
    }
    // The table alone, in a buffer of its own size, so that a read past it is caught.
    const std::string_view rest = input.substr(std::min(lineEnd + 1, input.size()));
    const std::vector<char> table(rest.begin(), rest.end());
    const std::string_view text(table.data(), table.size());

    const auto uids = PortOwners::listeners(text, port);
    const bool inRange = port >= 0 && port <= 0xFFFF;
    if ((!inRange && !uids.empty()) || !std::is_sorted(uids.begin(), uids.end()) ||
        std::adjacent_find(uids.begin(), uids.end()) != uids.end()) {
        std::abort();
    }
    for (const std::uint32_t uid : uids) {
        if (!backedByARow(text, port, uid)) {
            std::abort();
        }
    }
    // Asked for the first uid found, another user is seen exactly when a second one was found.
    const PortOwners::TableReader read = [&] { return std::vector<std::string>{std::string(text)}; };
    if (PortOwners::heldByAnotherUser(port, uids.empty() ? 0 : uids.front(), read) != (uids.size() > 1)) {
        std::abort();
    }
    return 0;
}
