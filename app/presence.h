#pragma once

#include "connect/runner.h"

#include <optional>
#include <string>
#include <string_view>

/// How the companion is doing, as its presence script tells it: one JSON object, read for five members.
namespace Presence {

/// How long the presence script may take.
inline constexpr double probeTimeoutSeconds = 6.0;

/// The members of a report that the display reads; each is present only when the script gave a string.
struct Report {
    std::optional<std::string> state;
    std::optional<std::string> title;
    std::optional<std::string> detail;
    std::optional<std::string> action;
    std::optional<std::string> version;

    friend bool operator==(const Report&, const Report&) = default;
};

/// The report in `output`: well-formed JSON with an object at the top and nothing after it; none otherwise.
std::optional<Report> parse(std::string_view output);

/// Runs `scriptPath` under `runtimePath` with no input, within probeTimeoutSeconds and under `handle`, and
/// reads its report. `runner` replaces child processes in tests.
std::optional<Report> probe(const std::string& runtimePath, const std::string& scriptPath,
                            ConnectProbeHandle& handle, const ConnectVerifier::Runner& runner = {});

} // namespace Presence
