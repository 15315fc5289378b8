// The window-system module's entry point: the one symbol the executable looks up after opening it.
#include "app/desktop_module.h"
#include "desktop/alert.h"
#include "desktop/application.h"
#include "desktop/clipboard.h"
#include "desktop/url_opener.h"

extern "C" __attribute__((visibility("default"))) void tessalyDesktopStart(DesktopStartRequest* request) {
    auto application = DesktopApplication::create(*request->argc, request->argv, request->noDisplayStatus,
                                                  request->noDisplayMessage);
    QApplication* owned = application.release();
    request->finish = [owned] { delete owned; };
    request->desktop = Desktop{
        [](const AlertSpec& spec) { return Alert(spec).run(); },
        [bundle = request->bundlePath](const std::string& text) { Clipboard::copyText(bundle, text); },
        [](const std::string& url) { UrlOpener::openWithDefaultHandler(url); },
    };
}
