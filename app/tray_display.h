#pragma once

#include "app/desktop.h"
#include "app/presence.h"

#include <optional>

/// What the status item shows, as a function of the latest presence report alone.
namespace TrayDisplayRules {

/// Before the first report.
TrayDisplay initial();

/// For the latest report, or for none when the probe gave nothing.
TrayDisplay forReport(const std::optional<Presence::Report>& report);

} // namespace TrayDisplayRules
