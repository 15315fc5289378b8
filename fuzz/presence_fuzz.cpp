// The presence script's output decides what the status item shows and whether it offers to connect: no output
// may crash the reader, the symbol and the connect action must follow the report's state alone, and every
// text shown must already be clean and bounded.
#include "app/display_text.h"
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
    for (const std::string& text : {display.statusLine, display.detailLine, display.connectTitle}) {
        if (DisplayText::oneLine(text, 200) != text) {
            std::abort();
        }
    }
    return 0;
}
