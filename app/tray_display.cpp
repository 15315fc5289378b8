#include "app/tray_display.h"

#include "app/display_text.h"

namespace TrayDisplayRules {
namespace {

constexpr const char* notRunning = "Companion not running";
constexpr const char* connectTitle = "Connect to Chrome";
constexpr const char* noDetail = "\u2014";
/// Long enough for any sentence a status line needs; a report cannot make the menu as wide as the screen.
constexpr std::size_t maxClusters = 200;

/// A text of the report as it may be shown on one menu line, tooltip or accessible text.
std::string shown(const std::string& text) {
    return DisplayText::oneLine(text, maxClusters);
}

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
    const std::string title = report->title ? shown(*report->title) : notRunning;
    const std::string detail = shown(report->detail.value_or(""));
    TrayDisplay display;
    // Exact comparisons, on the word as written: "Enabled" is not "enabled", nor is "enabled\u200B".
    display.symbol = state == "enabled"    ? TraySymbol::connected
                     : state == "disabled" ? TraySymbol::attention
                                           : TraySymbol::offline;
    display.tooltip = report->version ? title + " (v" + shown(*report->version) + ")" : title;
    display.accessibleDescription = title;
    display.statusLine = title;
    display.detailLine = detail.empty() ? noDetail : detail;
    display.connectTitle = report->action ? shown(*report->action) : connectTitle;
    display.connectEnabled = state == "disabled";
    return display;
}

} // namespace TrayDisplayRules
