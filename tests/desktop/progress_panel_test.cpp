#include "desktop/event_loop.h"
#include "desktop/progress_panel.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <gtest/gtest.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

QString accessibleName(QWidget* widget) {
    return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
}

ProgressPanel* shownPanel() {
    for (auto* widget : QApplication::topLevelWidgets()) {
        if (auto* panel = dynamic_cast<ProgressPanel*>(widget); panel != nullptr && panel->isVisible()) {
            return panel;
        }
    }
    return nullptr;
}

TEST(ProgressPanelTest, IsAFixedFloatingWindowWithOnlyATitle) {
    const auto close = showProgressPanel([] {});
    ProgressPanel* panel = shownPanel();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->size(), QSize(400, 132));
    EXPECT_EQ(panel->minimumSize(), panel->maximumSize());
    EXPECT_EQ(panel->windowTitle(), "Waiting for the extension");
    const Qt::WindowFlags flags = panel->windowFlags();
    EXPECT_TRUE(flags.testFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                Qt::WindowStaysOnTopHint));
    EXPECT_FALSE(flags &
                 (Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint | Qt::WindowSystemMenuHint));
    EXPECT_FALSE(panel->isModal());
    EXPECT_TRUE(panel->testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_EQ(panel->geometry().center(), QGuiApplication::primaryScreen()->availableGeometry().center());
    close();
}

TEST(ProgressPanelTest, ReadsItsTextThenItsButtonAtTheirPlaces) {
    ProgressPanel panel([] {});
    const auto children = panel.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(children.size(), 2);
    auto* label = qobject_cast<QLabel*>(children[0]);
    auto* button = qobject_cast<QPushButton*>(children[1]);
    ASSERT_NE(label, nullptr);
    ASSERT_NE(button, nullptr);
    const QString text = "Finish connecting in the browser you just opened.\n"
                         "This window closes by itself when the extension attaches.";
    EXPECT_EQ(label->text(), text);
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_TRUE(label->wordWrap());
    EXPECT_TRUE(label->alignment() & Qt::AlignHCenter);
    EXPECT_EQ(label->geometry(), QRect(20, 20, 360, 56));
    EXPECT_EQ(accessibleName(label), text);
    EXPECT_EQ(button->geometry(), QRect(150, 84, 100, 32));
    EXPECT_EQ(accessibleName(button), "Cancel");
}

TEST(ProgressPanelTest, CancelAndEscapeReportTheWishOnceAndLeaveThePanelOpen) {
    const std::function<void(ProgressPanel&)> ways[] = {
        [](ProgressPanel& panel) { panel.findChild<QPushButton*>()->click(); },
        [](ProgressPanel& panel) { QTest::mouseClick(panel.findChild<QPushButton*>(), Qt::LeftButton); },
        [](ProgressPanel& panel) { QTest::keyClick(&panel, Qt::Key_Escape); },
        [](ProgressPanel& panel) { QTest::keyClick(panel.findChild<QPushButton*>(), Qt::Key_Escape); },
    };
    for (std::size_t i = 0; i < std::size(ways); ++i) {
        int cancels = 0;
        ProgressPanel panel([&] { ++cancels; });
        panel.show();
        ways[i](panel);
        EXPECT_EQ(cancels, 1) << "way " << i;
        EXPECT_TRUE(panel.isVisible()) << "way " << i;
    }
}

TEST(ProgressPanelTest, RefusesACloseRequest) {
    int cancels = 0;
    ProgressPanel panel([&] { ++cancels; });
    panel.show();
    EXPECT_FALSE(panel.close());
    EXPECT_TRUE(panel.isVisible());
    EXPECT_EQ(cancels, 0);
}

TEST(ProgressPanelTest, CloserHidesAndDeletesThePanelEvenFromCancelAndTwice) {
    std::function<void()> close;
    close = showProgressPanel([&] { close(); });
    QPointer<ProgressPanel> panel = shownPanel();
    ASSERT_FALSE(panel.isNull());
    panel->findChild<QPushButton*>()->click();
    EXPECT_FALSE(panel->isVisible());
    close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(panel.isNull());
    close();
}

TEST(EventLoopTest, RunBlocksForAboutTheTimeAskedWithoutSpinning) {
    const std::pair<double, double> times[] = {{0.3, 0.3}, {0, 0}, {-1, 0}, {std::nan(""), 0}};
    for (const auto& [asked, expected] : times) {
        const auto start = Clock::now();
        const std::clock_t cpuStart = std::clock();
        EventLoop::run(asked);
        const double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_GE(elapsed, expected * 0.95) << asked;
        EXPECT_LT(elapsed, expected + 0.5) << asked;
        // A loop that spins instead of sleeping would burn about as much processor time as it waits.
        EXPECT_LT(cpu, 0.05 + expected / 4) << asked;
    }
}

TEST(EventLoopTest, DeliversWorkPostedFromAnotherThreadOnTheMainThread) {
    std::atomic<bool> ran = false;
    bool onMain = false;
    std::thread poster([&] {
        EventLoop::postToMain([&] {
            onMain = QThread::currentThread() == QCoreApplication::instance()->thread();
            ran = true;
        });
    });
    poster.join();
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!ran && Clock::now() < deadline) {
        EventLoop::run(0.02);
    }
    EXPECT_TRUE(ran);
    EXPECT_TRUE(onMain);
}

} // namespace
