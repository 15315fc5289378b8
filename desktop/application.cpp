#include "desktop/application.h"

#include "app/output.h"

#include <unistd.h>
#include <vector>

namespace DesktopApplication {
namespace {

// Read by the message handler, which has no other way to learn them; written once, before it is installed.
bool startingUp = false;
int statusWithoutDisplay = 1;
std::string lineWithoutDisplay;

void handleMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type != QtFatalMsg) {
        return;
    }
    if (startingUp) {
        // The platform could not be opened. The window system aborts right after this handler, so the
        // process ends here, with the mode's own status rather than a crash.
        if (!lineWithoutDisplay.empty()) {
            writeAll(STDERR_FILENO, lineWithoutDisplay + "\n");
        }
        ::_exit(statusWithoutDisplay);
    }
    writeAll(STDERR_FILENO, "tessaly-setup: " + message.toStdString() + "\n");
}

} // namespace

std::unique_ptr<QApplication> create(int& argc, char** argv, const std::string& platform, int noDisplayStatus,
                                     std::string noDisplayMessage) {
    statusWithoutDisplay = noDisplayStatus;
    lineWithoutDisplay = std::move(noDisplayMessage);
    qInstallMessageHandler(handleMessage);
    // The platform travels as the window system's own "-platform" argument, appended to a copy of the
    // argument vector that lives as long as the application object, which keeps pointing into it.
    static std::vector<std::string> words;
    static std::vector<char*> vector;
    static int count = 0;
    words.assign(argv, argv + argc);
    if (!platform.empty()) {
        words.insert(words.end(), {"-platform", platform});
    }
    vector.clear();
    for (std::string& word : words) {
        vector.push_back(word.data());
    }
    vector.push_back(nullptr);
    count = static_cast<int>(words.size());
    startingUp = true;
    auto application = std::make_unique<QApplication>(count, vector.data());
    startingUp = false;
    QGuiApplication::setDesktopFileName(QStringLiteral("tessaly-setup"));
    return application;
}

} // namespace DesktopApplication
