#include "app/tray_display.h"

namespace TrayDisplayRules {
namespace {

constexpr const char* notRunning = "Companion not running";
constexpr const char* connectTitle = "Connect to Chrome";
constexpr const char* noDetail = "\u2014";

} // namespace

TrayDisplay initial() {
    return {std::nullopt, {}, {}, "Checking\u2026", noDetail, connectTitle, true};
}

TrayDisplay forReport(const std::optional<Presence::Report>& report) {
    if (!report) {
        return {TraySymbol::offline,
                notRunning,
                notRunning,
                notRunning,
                "Start the companion from your MCP client.",
                connectTitle,
                false};
    }
    const std::string state = report->state.value_or("offline");
    const std::string title = report->title.value_or(notRunning);
    TrayDisplay display;
    // Exact comparisons: "Enabled" is not "enabled".
    display.symbol = state == "enabled"    ? TraySymbol::connected
                     : state == "disabled" ? TraySymbol::attention
                                           : TraySymbol::offline;
    display.tooltip = report->version ? title + " (v" + *report->version + ")" : title;
    display.accessibleDescription = title;
    display.statusLine = title;
    display.detailLine = report->detail.value_or("").empty() ? noDetail : *report->detail;
    display.connectTitle = report->action.value_or(connectTitle);
    display.connectEnabled = state == "disabled";
    return display;
}

} // namespace TrayDisplayRules
