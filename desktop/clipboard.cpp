#include "desktop/clipboard.h"

#include "connect/runner.h"

#include <QClipboard>
#include <QGuiApplication>

namespace Clipboard {

void copyText(const std::filesystem::path& bundlePath, const std::string& text) {
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        const auto keeper = (bundlePath / keeperFileName).string();
        if (ConnectVerifier::runBounded(keeper, {}, text, keeperTimeoutSeconds) == "ready\n") {
            return;
        }
    }
    // Kept until this process ends, and handed to a clipboard manager then where the platform knows how.
    QGuiApplication::clipboard()->setText(
        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

} // namespace Clipboard
