#pragma once

#include "connect/raw_value.h"

#include <boost/url/url.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

/// Why a connect attempt, or one of its steps, failed. The raw values are printed by the check mode.
enum class ConnectProblem {
    noSession,
    unsafeFile,
    malformedSession,
    brokerUnreachable,
    wrongService,
    tokenNotCurrent,
    verifierUnavailable,
    cancelled,
    noSupportedBrowser,
    openFailed,
    notAttached,
};

template <> struct RawValues<ConnectProblem> {
    static constexpr std::array<std::string_view, 11> names = {
        "noSession",          "unsafeFile",      "malformedSession",    "brokerUnreachable",
        "wrongService",       "tokenNotCurrent", "verifierUnavailable", "cancelled",
        "noSupportedBrowser", "openFailed",      "notAttached",
    };
};

template <> struct std::hash<ConnectProblem> {
    std::size_t operator()(ConnectProblem problem) const noexcept {
        return std::hash<std::string_view>{}(rawValue(problem));
    }
};

/// A value or the problem that stopped it: every step of the connect path answers with one.
template <class T> using ConnectResult = tl::expected<T, ConnectProblem>;

/// The companion's port and pairing page, as read from its session file.
struct ConnectDraft {
    std::int64_t port = 0;
    boost::urls::url pairURL;

    /// Drafts are equal when their ports are and their URLs have the same text.
    friend bool operator==(const ConnectDraft& a, const ConnectDraft& b) {
        return a.port == b.port && a.pairURL.buffer() == b.pairURL.buffer();
    }
};

/// What the companion says of itself when it accepts the session token.
struct BrokerHealth {
    std::string version;
    std::int64_t protocolVersion = 0;
    bool extensionConnected = false;

    friend bool operator==(const BrokerHealth&, const BrokerHealth&) = default;
};

namespace ConfigurationBundle {
/// The sentence shown after a failed attempt; `problem` is absent when none was reported.
std::string_view retryExplanation(std::optional<ConnectProblem> problem);
} // namespace ConfigurationBundle
