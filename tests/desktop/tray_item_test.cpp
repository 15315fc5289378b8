#include "desktop/tray_icons.h"
#include "desktop/tray_item.h"

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTextDocument>
#include <gtest/gtest.h>

namespace {

struct CountingTarget {
    int connects = 0, copies = 0, quits = 0;
    ConnectMenuTarget target{[this] { ++connects; }, [this] { ++quits; }, [this] { ++copies; }};
};

void clickAt(QMenu& menu, int position) {
    menu.popup(QPoint(100, 100));
    QTest::mouseClick(&menu, Qt::LeftButton, {}, menu.actionGeometry(menu.actions()[position]).center());
}

// The menu is read and clicked through a bus tray end to end; Qt's own, as an X11 tray shows it, is tried
// here.
TEST(TrayItemTest, ConnectCallsItsHandlerOnlyWhileEnabled) {
    CountingTarget counting;
    TrayItem item(counting.target);
    clickAt(item.menu(), 3);
    EXPECT_TRUE(QTest::qWaitFor([&] { return counting.connects == 1; }));
    item.show({TraySymbol::connected, "", "", "Connected", "", "Connected", false});
    clickAt(item.menu(), 3);
    item.menu().actions()[3]->trigger();
    clickAt(item.menu(), 4); // queued behind whatever the connect item would have called
    EXPECT_TRUE(QTest::qWaitFor([&] { return counting.copies == 1; }));
    EXPECT_EQ(counting.connects, 1);
}

TEST(TrayItemTest, ShowsALiteralTooltipAndOnlyWithASymbol) {
    CountingTarget counting;
    TrayItem item(counting.target);
    item.place();
    ASSERT_NE(item.icon(), nullptr);
    EXPECT_FALSE(item.icon()->isVisible());

    item.show({TraySymbol::attention, "<b>Q&A</b> (v1)", "Q&A", "s", "d", "c", true});
    EXPECT_TRUE(item.icon()->isVisible());
    // The X11 tray shows the tooltip as a widget's, which takes tags as markup.
    QTextDocument shown;
    shown.setHtml(item.icon()->toolTip());
    EXPECT_EQ(shown.toPlainText(), "<b>Q&A</b> (v1)");

    item.show({});
    EXPECT_TRUE(item.icon()->toolTip().isEmpty());
    EXPECT_FALSE(item.icon()->isVisible());
}

TEST(TrayItemTest, ShowFunctionDoesNothingOnceTheItemIsGone) {
    CountingTarget counting;
    const auto show = createTray({}, counting.target);
    show({TraySymbol::offline, "", "", "Offline", "", "Connect to Chrome", true});
    destroyTray();
    show({});
}

TEST(TrayIconsTest, ThreeSharpPicturesThatDifferInShapeNotOnlyColour) {
    std::vector<QImage> masks;
    for (TraySymbol symbol : {TraySymbol::connected, TraySymbol::attention, TraySymbol::offline}) {
        const QIcon icon = trayIcon(symbol);
        EXPECT_TRUE(icon.availableSizes().contains(QSize(16, 16)));
        EXPECT_TRUE(icon.availableSizes().contains(QSize(64, 64)));
        // Drawn at the screen's density rather than scaled up.
        EXPECT_EQ(icon.pixmap(QSize(32, 32), 2.0).size(), QSize(64, 64));
        masks.push_back(icon.pixmap(QSize(32, 32)).toImage().convertToFormat(QImage::Format_Alpha8));
    }
    EXPECT_NE(masks[0], masks[1]);
    EXPECT_NE(masks[1], masks[2]);
    EXPECT_NE(masks[0], masks[2]);
}

} // namespace
