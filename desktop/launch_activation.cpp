#include "desktop/launch_activation.h"

#include "connect/environment.h"

#include <QGuiApplication>

namespace LaunchActivation {

BrowserLauncher::Activation forLaunch(const std::string& desktopId) {
    BrowserLauncher::Activation activation;
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        activation.startupId = x11StartupId();
    }
    if (const char* display = environmentVariable("WAYLAND_DISPLAY");
        display != nullptr && *display != '\0') {
        activation.activationToken = waylandToken(desktopId);
    }
    return activation;
}

} // namespace LaunchActivation
