// The presence script's output decides what the status item shows and whether it offers to connect: no output
// may crash the reader, and the symbol and the connect action must follow the report's state alone.
#include "app/presence.h"
#include "app/tray_display.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto report = Presence::parse({reinterpret_cast<const char*>(data), size});
    const TrayDisplay display = TrayDisplayRules::forReport(report);
    const std::string state = report ? report->state.value_or("") : "";
    const TraySymbol expected = state == "enabled"    ? TraySymbol::connected
                                : state == "disabled" ? TraySymbol::attention
                                                      : TraySymbol::offline;
    if (display.connectEnabled != (state == "disabled") || display.symbol != expected ||
        display.detailLine.empty() || !display.tooltip.starts_with(display.statusLine)) {
        std::abort();
    }
    return 0;
}
