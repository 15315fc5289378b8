#include "app/setup_window.h"

namespace SetupWindow {

AlertSpec alert(const std::string& json) {
    AlertSpec spec;
    spec.messageText = "Tessaly MCP configuration";
    spec.informativeText =
        "Copy this example into your MCP client yourself. This does not start the companion "
        "or pair a browser. The companion retains its existing broad capabilities when you "
        "later run and pair it.";
    spec.buttons = {"Close", "Copy example", "Connect to Chrome", "Support"};
    spec.activate = true;
    spec.accessory = TextAccessory{590, 260, json, 12};
    // Copied from the window itself, while it has the focus: see CopyButton.
    spec.copyButton = CopyButton{1, json};
    return spec;
}

int run(const std::string& json, const Desktop& desktop, const Actions& actions) {
    switch (desktop.runAlert(alert(json)).response) {
    case firstButtonResponse + 2:
        actions.startConnect();
        break;
    case firstButtonResponse + 3:
        actions.offerSupport();
        break;
    default:
        break;
    }
    return 0;
}

} // namespace SetupWindow
