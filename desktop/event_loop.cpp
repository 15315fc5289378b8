#include "desktop/event_loop.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <limits>

namespace EventLoop {
namespace {

/// A timer's interval is an int of milliseconds; longer waits than that are not asked for.
int timerMilliseconds(double seconds) {
    return static_cast<int>(std::min(std::ceil(seconds * 1000), double{std::numeric_limits<int>::max()}));
}

} // namespace

void run(double seconds) {
    if (!(seconds >= 0)) {
        return;
    }
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    // Precise: a coarse timer may fire up to 5% late, which a short slice of a deadline would notice.
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(timerMilliseconds(seconds));
    loop.exec();
}

void postToMain(std::function<void()> work) {
    // QCoreApplication::instance() is safe to read from any thread; the queued call then belongs to the
    // application object's thread, the main one.
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(application, std::move(work), Qt::QueuedConnection);
}

void startTimer(double seconds, std::function<void()> tick) {
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr || !(seconds > 0)) {
        return;
    }
    auto* timer = new QTimer(application);
    QObject::connect(timer, &QTimer::timeout, timer, std::move(tick));
    QObject::connect(application, &QCoreApplication::aboutToQuit, timer, [timer] {
        timer->stop();
        timer->deleteLater();
    });
    timer->start(timerMilliseconds(seconds));
}

void runUntilQuit() {
    QGuiApplication::setQuitOnLastWindowClosed(false);
    QApplication::exec();
}

void quit() {
    QCoreApplication::quit();
}

} // namespace EventLoop
