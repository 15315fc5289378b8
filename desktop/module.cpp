// The window-system module's entry point: the one symbol the executable looks up after opening it.
#include "app/desktop_module.h"
#include "desktop/alert.h"
#include "desktop/application.h"
#include "desktop/browser_launcher.h"
#include "desktop/clipboard.h"
#include "desktop/event_loop.h"
#include "desktop/launch_activation.h"
#include "desktop/progress_panel.h"
#include "desktop/tray_item.h"
#include "desktop/url_opener.h"

extern "C" __attribute__((visibility("default"))) void tessalyDesktopStart(DesktopStartRequest* request) {
    auto application = DesktopApplication::create(*request->argc, request->argv, request->platform,
                                                  request->noDisplayStatus, request->noDisplayMessage);
    QApplication* owned = application.release();
    request->finish = [owned] {
        destroyTray();
        Clipboard::handOverBeforeExit();
        delete owned;
    };

    Desktop desktop;
    desktop.runAlert = [bundle = request->bundlePath](const AlertSpec& spec) {
        return Alert(spec, [&bundle](const std::string& text) { Clipboard::copyText(bundle, text, true); })
            .run();
    };
    desktop.copyText = [bundle = request->bundlePath](const std::string& text) {
        Clipboard::copyText(bundle, text, false);
    };
    desktop.openURL = &UrlOpener::openWithDefaultHandler;
    desktop.isBrowserInstalled = &BrowserLauncher::isInstalled;
    desktop.isBrowserSandboxed = &BrowserLauncher::isSandboxed;
    desktop.launchBrowser = [](const std::string& url, const std::string& bundleIdentifier,
                               LaunchEnded ended) {
        return BrowserLauncher::launch(url, bundleIdentifier, &LaunchActivation::forLaunch, std::move(ended));
    };
    desktop.showProgressPanel = &showProgressPanel;
    desktop.runEventLoop = &EventLoop::run;
    desktop.postToMain = &EventLoop::postToMain;
    desktop.createTray = &createTray;
    desktop.trayAvailable = &trayAvailable;
    desktop.startTimer = &EventLoop::startTimer;
    desktop.runUntilQuit = &EventLoop::runUntilQuit;
    desktop.quit = &EventLoop::quit;
    request->desktop = std::move(desktop);
}
