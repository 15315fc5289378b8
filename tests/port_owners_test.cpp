#include "connect/port_owners.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <optional>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Uids = std::vector<std::uint32_t>;

const std::string header =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
    "timeout inode\n";

// An address as the kernel prints it on this machine: each 4 bytes as they lie in memory, read as a number.
std::string printed(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (std::size_t at = 0; at < bytes.size(); at += 4) {
        std::uint32_t word = 0;
        std::memcpy(&word, bytes.data() + at, sizeof word);
        char digits[9];
        std::snprintf(digits, sizeof digits, "%08X", word);
        text += digits;
    }
    return text;
}

const std::string loopback = printed({127, 0, 0, 1});
const std::string anyV4 = printed({0, 0, 0, 0});
const std::string anyV6 = printed(std::vector<std::uint8_t>(16, 0));
const std::string mapped = printed({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1});

std::string row(const std::string& address, const std::string& port, const std::string& state,
                const std::string& uid) {
    return "   0: " + address + ":" + port + " 00000000:0000 " + state +
           " 00000000:00000000 00:00000000 00000000  " + uid +
           "        0 4711 1 0000000000000000 100 0 0 10 0\n";
}

TEST(PortOwnersTest, OnlyListenersAtThePortWhereLoopbackReachesThemCount) {
    const std::string v6Loopback = printed({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    const std::pair<std::string, Uids> cases[] = {
        {row(loopback, "1388", "0A", "1000"), {1000}},
        {row(anyV4, "1388", "0A", "1001"), {1001}},
        {row(anyV6, "1388", "0A", "1002"), {1002}},
        {row(mapped, "1388", "0A", "1003"), {1003}},
        {row(loopback, "1388", "0A", "7") + row(anyV6, "1388", "0A", "5") + row(loopback, "1388", "0A", "7"),
         {5, 7}},
        {row(loopback, "1388", "0A", "0000000042"), {42}},
        // Rows that do not read as the kernel writes them.
        {header, {}},
        {"   0: " + loopback + ":1388 00000000:0000 0A 00000000:00000000 00:00000000 00000000", {}},
        {"   0: " + loopback + ":1388", {}},
        {"\n\n  \t\n:::\n" + std::string("\0\xff", 2), {}},
        {"", {}},
    };
    const auto amongOthers = [](const std::string& rows) {
        return PortOwners::listeners(header + rows + row(loopback, "0050", "0A", "99"), 5000);
    };
    for (const auto& [rows, expected] : cases) {
        EXPECT_EQ(amongOthers(rows), expected) << rows;
    }
    // Other addresses (127.0.0.1 read in the wrong byte order among them), ports and states; then fields that
    // do not read as the kernel writes them.
    for (const std::string& rows :
         {row(printed({127, 0, 0, 2}), "1388", "0A", "1"), row(printed({1, 0, 0, 127}), "1388", "0A", "1"),
          row(v6Loopback, "1388", "0A", "1"), row(loopback, "1389", "0A", "1"),
          row(loopback, "8813", "0A", "1"), row(loopback, "1388", "01", "1"),
          row(loopback, "1388", "0A", "4294967296"), row(loopback, "1388", "0A", "-1"),
          row(loopback, "1388", "0A", "12x"), row(loopback, "01388", "0A", "1"),
          row(loopback, "388", "0A", "1"), row(loopback, "+388", "0A", "1"), row(loopback, "1388", "A", "1"),
          row(loopback + "00", "1388", "0A", "1"), row("0100007G", "1388", "0A", "1"),
          row("-100007F", "1388", "0A", "1"), row(loopback, "", "0A", "1")}) {
        EXPECT_EQ(amongOthers(rows), Uids{}) << rows;
    }
    for (const std::int64_t port :
         {std::int64_t{-1}, std::int64_t{0x10000 + 5000}, std::int64_t{5000} << 32}) {
        EXPECT_EQ(PortOwners::listeners(row(loopback, "1388", "0A", "1"), port), Uids{}) << port;
    }
}

TEST(PortOwnersTest, AHugeTableIsReadOnlyUpToTheBoundAndNoRowIsReadCutShort) {
    const std::string listener = row(loopback, "1388", "0A", "1000");
    const std::size_t uidEnd = listener.find("1000") + 2; // the bound falls inside the uid: "10" of "1000"
    std::string table =
        header + std::string(PortOwners::maxTableBytes - header.size() - uidEnd - 1, ' ') + "\n";
    table += listener;
    ASSERT_EQ(table.substr(PortOwners::maxTableBytes - 2, 2), "10");
    EXPECT_EQ(PortOwners::listeners(table, 5000), Uids{});
    EXPECT_EQ(PortOwners::listeners(listener + table, 5000), Uids{1000});
}

TEST(PortOwnersTest, AnotherUsersListenerIsToldFromOurOwnAndFromNoneSeen) {
    const auto reader = [](std::vector<std::string> tables) { return [=] { return tables; }; };
    const std::string ours = row(loopback, "1388", "0A", "1000");
    const std::string theirs = row(anyV6, "1388", "0A", "1001");
    const std::pair<PortOwners::TableReader, bool> cases[] = {
        {reader({header + ours, header + theirs}), true},
        {reader({header + theirs + ours}), true},
        {reader({header + ours, header}), false},
        {reader({header + row(loopback, "1389", "0A", "1001")}), false},
        {reader({}), false},
        {[]() -> std::vector<std::string> { throw std::runtime_error("unreadable"); }, false},
        {{}, false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(PortOwners::heldByAnotherUser(5000, 1000, cases[i].first), cases[i].second) << i;
    }
}

// A socket listening on `address` at a port the system picks, with that port; none without IPv6 for one.
std::optional<std::pair<int, std::int64_t>> listenOn(const char* address) {
    sockaddr_storage any{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&any);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&any);
    const bool isV4 = ::inet_pton(AF_INET, address, &v4->sin_addr) == 1;
    if (!isV4 && ::inet_pton(AF_INET6, address, &v6->sin6_addr) != 1) {
        return std::nullopt;
    }
    any.ss_family = isV4 ? AF_INET : AF_INET6;
    const int fd = ::socket(any.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int v6Only = 1; // "::" alone, so that it is found as itself
    socklen_t length = isV4 ? sizeof *v4 : sizeof *v6;
    if (fd < 0 || (!isV4 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only) != 0) ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&any), length) != 0 || ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&any), &length) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    return std::pair(fd, std::int64_t{ntohs(isV4 ? v4->sin_port : v6->sin6_port)});
}

// The kernel's own tables: our listeners are found under our uid, whatever this machine's byte order.
TEST(PortOwnersTest, FindsThisProcesssOwnListenersInTheSystemTables) {
    const std::pair<const char*, bool> cases[] = {
        {"127.0.0.1", true}, {"0.0.0.0", true}, {"::ffff:127.0.0.1", true},
        {"::", true},        {"::1", false},    {"127.0.0.2", false},
    };
    const auto found = [](std::int64_t port) {
        Uids uids;
        for (const auto& table : PortOwners::readSystemTables()) {
            const auto some = PortOwners::listeners(table, port);
            uids.insert(uids.end(), some.begin(), some.end());
        }
        return uids;
    };
    for (const auto& [address, reachable] : cases) {
        const auto listener = listenOn(address);
        if (!listener && std::string_view(address).find(':') != std::string_view::npos) {
            continue; // a system without IPv6
        }
        ASSERT_TRUE(listener) << address;
        const auto [fd, port] = *listener;
        EXPECT_EQ(found(port), reachable ? Uids{::getuid()} : Uids{}) << address;
        EXPECT_EQ(PortOwners::heldByAnotherUser(port, ::getuid() + 1), reachable) << address;
        EXPECT_FALSE(PortOwners::heldByAnotherUser(port, ::getuid())) << address;
        ::close(fd);
        EXPECT_EQ(found(port), Uids{}) << address;
    }
}

} // namespace
