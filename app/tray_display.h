#pragma once

#include "app/desktop.h"
#include "app/presence.h"

#include <filesystem>
#include <optional>
#include <string>

/// What the status item shows, as a function of the latest presence report alone.
namespace TrayDisplayRules {

/// Before the first report.
TrayDisplay initial();

/// For the latest report, or for none when the probe gave nothing.
TrayDisplay forReport(const std::optional<Presence::Report>& report);

/// The menu's configuration snippet naming the launcher at `commandPath`; a quotation mark or backslash in
/// the path is escaped, so the snippet stays valid JSON.
std::string configurationSnippet(const std::filesystem::path& commandPath);

} // namespace TrayDisplayRules
