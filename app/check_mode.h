#pragma once

#include "connect/flow.h"
#include "connect/verifier.h"

#include <cstdint>
#include <filesystem>
#include <string>

/// The non-interactive check: read the session, verify the companion once, say so in one JSON line.
namespace CheckMode {

struct Report {
    ConnectOutcome outcome;
    std::string detail;

    friend bool operator==(const Report&, const Report&) = default;
};

/// Reads the session file as `uid` and verifies the companion through `layout` (with `runner` in place of
/// child processes when one is given). Answers failed with the problem, or readyToConnect or
/// alreadyConnected with the companion's version.
Report check(const std::filesystem::path& sessionPath, const ConnectVerifier::Layout& layout,
             std::uint32_t uid, const ConnectVerifier::Runner& runner = {});

/// The report as one line of JSON ending in a line feed, with the detail escaped so that no version text
/// can break the line.
std::string line(const Report& report);

} // namespace CheckMode
