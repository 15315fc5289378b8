#include "desktop/event_loop.h"
#include "desktop/progress_panel.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <chrono>
#include <cmath>
#include <ctime>
#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

ProgressPanel* shownPanel() {
    for (auto* widget : QApplication::topLevelWidgets()) {
        if (auto* panel = dynamic_cast<ProgressPanel*>(widget); panel != nullptr && panel->isVisible()) {
            return panel;
        }
    }
    return nullptr;
}

TEST(ProgressPanelTest, IsAFixedCentredFloatingWindowWithOnlyATitle) {
    const auto close = showProgressPanel([] {});
    ProgressPanel* panel = shownPanel();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->minimumSize(), panel->maximumSize());
    const Qt::WindowFlags flags = panel->windowFlags();
    EXPECT_TRUE(flags.testFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                Qt::WindowStaysOnTopHint));
    EXPECT_FALSE(flags &
                 (Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint | Qt::WindowSystemMenuHint));
    EXPECT_FALSE(panel->isModal());
    EXPECT_TRUE(panel->testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_EQ(panel->geometry().center(), QGuiApplication::primaryScreen()->availableGeometry().center());
    // Created in reading order, text above the button, both whole inside the panel.
    const auto children = panel->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(children.size(), 2);
    auto* label = qobject_cast<QLabel*>(children[0]);
    ASSERT_NE(label, nullptr);
    EXPECT_TRUE(label->wordWrap());
    EXPECT_LE(label->heightForWidth(label->width()), label->height()) << "the text is cut off";
    EXPECT_LT(label->geometry().bottom(), children[1]->geometry().top());
    EXPECT_TRUE(panel->rect().contains(label->geometry()) && panel->rect().contains(children[1]->geometry()));
    close();
}

TEST(ProgressPanelTest, CancelAndEscapeReportTheWishOnceAndCloseRequestsNothing) {
    const std::pair<std::function<void(ProgressPanel&)>, int> ways[] = {
        {[](ProgressPanel& panel) { QTest::mouseClick(panel.findChild<QPushButton*>(), Qt::LeftButton); }, 1},
        {[](ProgressPanel& panel) { QTest::keyClick(&panel, Qt::Key_Escape); }, 1},
        {[](ProgressPanel& panel) { QTest::keyClick(panel.findChild<QPushButton*>(), Qt::Key_Escape); }, 1},
        {[](ProgressPanel& panel) { EXPECT_FALSE(panel.close()); }, 0},
    };
    for (std::size_t i = 0; i < std::size(ways); ++i) {
        int cancels = 0;
        ProgressPanel panel([&] { ++cancels; });
        panel.show();
        ways[i].first(panel);
        EXPECT_EQ(cancels, ways[i].second) << "way " << i;
        EXPECT_TRUE(panel.isVisible()) << "way " << i;
    }
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

} // namespace
