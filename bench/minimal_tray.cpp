// The yardstick for the menu-bar mode's memory and idle cost: the least a Qt program needs to keep a picture
// in the system tray with a menu of the same seven positions and a timer of the same period. It
// deliberately does nothing else.
#include <QApplication>
#include <QColor>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QMenu menu;
    menu.addAction(QStringLiteral("Companion running"))->setEnabled(false);
    menu.addAction(QStringLiteral("No browser connected"))->setEnabled(false);
    menu.addSeparator();
    menu.addAction(QStringLiteral("Connect to Chrome"));
    menu.addAction(QStringLiteral("Copy MCP configuration"));
    menu.addSeparator();
    menu.addAction(QStringLiteral("Quit"), QKeySequence(Qt::CTRL | Qt::Key_Q), &application,
                   &QApplication::quit);
    QPixmap picture(22, 22);
    picture.fill(QColor(0x2e, 0x7d, 0x32));
    QSystemTrayIcon icon{QIcon(picture)};
    icon.setToolTip(QStringLiteral("Companion running"));
    icon.setContextMenu(&menu);
    icon.show();
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [] {});
    timer.start(5000);
    return application.exec();
}
