#include "desktop/progress_panel.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

namespace {

constexpr int panelWidth = 400;
constexpr int panelHeight = 132;

} // namespace

ProgressPanel::ProgressPanel(std::function<void()> onCancel)
    : QDialog(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint),
      onCancel_(std::move(onCancel)) {
    setWindowTitle(QStringLiteral("Waiting for the extension"));
    setFixedSize(panelWidth, panelHeight);

    // Created in reading order: assistive technologies read the children in the order they were made.
    auto* label = new QLabel(this);
    label->setTextFormat(Qt::PlainText);
    label->setText(QStringLiteral("Finish connecting in the browser you just opened.\n"
                                  "This window closes by itself when the extension attaches."));
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setGeometry(20, 20, 360, 56);

    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setGeometry(150, 84, 100, 32);
    // Return is not a way to cancel a wait the user did not ask to end.
    cancel->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, this, &ProgressPanel::reject);
}

void ProgressPanel::reject() {
    if (onCancel_) {
        onCancel_();
    }
}

void ProgressPanel::closeEvent(QCloseEvent* event) {
    event->ignore();
}

std::function<void()> showProgressPanel(std::function<void()> onCancel) {
    QPointer<ProgressPanel> panel = new ProgressPanel(std::move(onCancel));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        // The client area is centred; the frame is not known before the window manager has drawn it.
        panel->setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, panel->size(),
                                               screen->availableGeometry()));
    }
    // Shown, not activated: the user is busy in the browser, and the panel must not pull the focus away.
    panel->setAttribute(Qt::WA_ShowWithoutActivating);
    panel->show();
    return [panel] {
        if (panel != nullptr) {
            // Gone from the screen at once; deleted once the loop turns, because the caller may still be
            // inside one of the panel's own handlers (its Cancel button's click).
            panel->hide();
            panel->deleteLater();
        }
    };
}
