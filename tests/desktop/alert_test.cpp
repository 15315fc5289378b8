#include "desktop/alert.h"

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

namespace {

AlertSpec spec(std::vector<std::string> buttons, AlertSpec::Accessory accessory = {}) {
    AlertSpec result;
    result.messageText = "<b>Codes match</b>";
    result.informativeText = "Q&A <i>x</i>\nsecond line";
    result.buttons = std::move(buttons);
    result.accessory = std::move(accessory);
    return result;
}

/// Runs `alert` modally while `act` plays the user, from the event loop the modal run turns.
AlertAnswer answer(Alert& alert, const std::function<void(Alert&)>& act) {
    QTimer::singleShot(0, &alert, [&] { act(alert); });
    return alert.run();
}

/// A key pressed where the keyboard focus is, as a person would press it.
void press(Alert& alert, Qt::Key key) {
    QWidget* target = alert.focusWidget() != nullptr ? alert.focusWidget() : &alert;
    QTest::keyClick(target, key);
}

QString accessibleName(QWidget* widget) {
    return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
}

std::vector<QPushButton*> buttonsLeftToRight(Alert& alert) {
    auto buttons = alert.findChildren<QPushButton*>();
    std::sort(buttons.begin(), buttons.end(), [](auto* a, auto* b) { return a->x() < b->x(); });
    return {buttons.begin(), buttons.end()};
}

TEST(AlertTest, ShowsEveryTextLiterallyAndButtonsInTheirOrder) {
    Alert alert(spec({"Cancel", "Q&A", "Open", "Fourth"}));
    alert.show();
    std::vector<QString> labels;
    for (auto* label : alert.findChildren<QLabel*>()) {
        EXPECT_EQ(label->textFormat(), Qt::PlainText);
        labels.push_back(label->text());
    }
    EXPECT_EQ(labels, (std::vector<QString>{"<b>Codes match</b>", "Q&A <i>x</i>\nsecond line"}));
    std::vector<QString> names;
    for (auto* button : buttonsLeftToRight(alert)) {
        names.push_back(accessibleName(button));
    }
    // "Cancel" stays first: a button box would have moved it by its role.
    EXPECT_EQ(names, (std::vector<QString>{"Cancel", "Q&A", "Open", "Fourth"}));
    EXPECT_TRUE(buttonsLeftToRight(alert).front()->isDefault());
    EXPECT_EQ(alert.windowTitle(), "<b>Codes match</b>");
}

TEST(AlertTest, EachButtonAnswersItsOwnResponse) {
    for (int i = 0; i < 4; ++i) {
        Alert alert(spec({"One", "Two", "Three", "Four"}));
        const auto chosen = answer(alert, [i](Alert& shown) { buttonsLeftToRight(shown)[i]->click(); });
        EXPECT_EQ(chosen, (AlertAnswer{firstButtonResponse + i, std::nullopt}));
    }
}

TEST(AlertTest, ReturnEscapeAndClosingChooseTheFirstButton) {
    const std::function<void(Alert&)> ways[] = {
        [](Alert& shown) { press(shown, Qt::Key_Return); },
        [](Alert& shown) { press(shown, Qt::Key_Escape); },
        [](Alert& shown) { shown.close(); },
    };
    for (const auto& way : ways) {
        Alert alert(spec({"Reject", "Codes match - approve"}));
        EXPECT_EQ(answer(alert, way).response, firstButtonResponse);
    }
    Alert withText(spec({"Close", "Copy example"}, TextAccessory{590, 260, "{}", 12}));
    EXPECT_EQ(answer(withText, [](Alert& shown) { press(shown, Qt::Key_Return); }).response,
              firstButtonResponse);
}

TEST(AlertTest, PopUpOffersItsItemsAndReportsTheSelection) {
    const PopUpAccessory popUp{320, 28, {"Google Chrome", "Q&A", "<b>Vivaldi</b>"}, 1};
    Alert alert(spec({"Cancel", "Open"}, popUp));
    const auto chosen = answer(alert, [](Alert& shown) {
        auto* box = shown.findChild<QComboBox*>();
        EXPECT_EQ(box->size(), QSize(320, 28));
        EXPECT_EQ(box->count(), 3);
        EXPECT_EQ(box->itemText(1), "Q&A");
        EXPECT_EQ(box->currentIndex(), 1);
        EXPECT_EQ(shown.focusWidget(), box);
        press(shown, Qt::Key_Down);
        press(shown, Qt::Key_Return);
    });
    EXPECT_EQ(chosen, (AlertAnswer{firstButtonResponse, 2}));
}

TEST(AlertTest, TextViewHoldsTheWholeTextReadOnlyInMonospace) {
    const std::string json = "{\n  \"command\": \"/opt/a b/tessaly-mcp\"\n}";
    Alert alert(spec({"Close"}, TextAccessory{590, 260, json, 12}));
    alert.show();
    auto* text = alert.findChild<QPlainTextEdit*>();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->toPlainText().toStdString(), json);
    EXPECT_TRUE(text->isReadOnly());
    EXPECT_EQ(text->size(), QSize(590, 260));
    EXPECT_TRUE(QFontInfo(text->font()).fixedPitch());
    EXPECT_EQ(text->font().pixelSize(), 12);
    EXPECT_EQ(text->font().weight(), QFont::Normal);
}

TEST(AlertTest, StyleDecidesTheIcon) {
    const std::pair<AlertStyle, const char*> styles[] = {
        {AlertStyle::standard, nullptr},
        {AlertStyle::informational, "Information"},
        {AlertStyle::warning, "Warning"},
    };
    for (const auto& [style, iconName] : styles) {
        AlertSpec styled = spec({"Close"});
        styled.style = style;
        Alert alert(styled);
        QLabel* icon = nullptr;
        for (auto* label : alert.findChildren<QLabel*>()) {
            if (!label->pixmap().isNull()) {
                icon = label;
            }
        }
        EXPECT_EQ(icon != nullptr, iconName != nullptr);
        if (icon != nullptr) {
            EXPECT_EQ(icon->accessibleName(), iconName);
        }
    }
}

} // namespace

// The widget tests share one application object, without a display.
int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
