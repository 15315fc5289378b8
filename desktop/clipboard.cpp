#include "desktop/clipboard.h"

#include "connect/runner.h"
#include "desktop/alert.h"
#include "desktop/event_loop.h"

#include <QClipboard>
#include <QGuiApplication>

namespace Clipboard {
namespace {

// Set on the main thread by a copy that only this process can serve, read there at its end.
bool toolkitHoldsWaylandCopy = false;

ClipboardRoute::WindowSystem windowSystem() {
    return ClipboardRoute::fromPlatformName(QGuiApplication::platformName().toStdString());
}

bool helperHolds(const std::filesystem::path& helper, const std::string& text) {
    return ConnectVerifier::runBounded(helper.string(), {}, text, helperTimeoutSeconds) == "ready\n";
}

void toolkitCopy(const std::string& text) {
    QGuiApplication::clipboard()->setText(
        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

} // namespace

ClipboardRoute::Route copyText(const std::filesystem::path& bundlePath, const std::string& text,
                               bool haveFocus) {
    const ClipboardRoute::WindowSystem system = windowSystem();
    const ClipboardRoute::Copiers copiers{
        [&](const std::string& copied) { return helperHolds(bundlePath / x11HelperFileName, copied); },
        [&](const std::string& copied) { return helperHolds(bundlePath / waylandHelperFileName, copied); },
        toolkitCopy,
        [&](const std::string& copied) {
            Alert(ClipboardRoute::focusedCopyAlert(copied), [&](const std::string& fromWindow) {
                copyText(bundlePath, fromWindow, true);
            }).run();
        },
    };
    const auto route = ClipboardRoute::copy(text, system, haveFocus, copiers);
    if (route == ClipboardRoute::Route::toolkit && system == ClipboardRoute::WindowSystem::wayland) {
        toolkitHoldsWaylandCopy = true;
    }
    return route;
}

void handOverBeforeExit() {
    if (toolkitHoldsWaylandCopy) {
        EventLoop::run(handOverSeconds);
    }
}

} // namespace Clipboard
