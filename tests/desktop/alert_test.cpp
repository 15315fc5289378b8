#include "app/pairing.h"
#include "desktop/alert.h"

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

namespace {

AlertSpec spec(std::vector<std::string> buttons, AlertSpec::Accessory accessory = {}) {
    AlertSpec result;
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
    QTest::keyClick(alert.focusWidget() != nullptr ? alert.focusWidget() : &alert, key);
}

// The real dialogs are read and pressed end to end; no real button's title has a mnemonic mark to try.
TEST(AlertTest, ButtonTitleIsReadLiterally) {
    Alert alert(spec({"Q&A"}));
    auto* button = alert.findChild<QPushButton*>();
    EXPECT_EQ(QAccessible::queryAccessibleInterface(button)->text(QAccessible::Name), "Q&A");
}

TEST(AlertTest, ReturnEscapeAndClosingChooseTheFirstButton) {
    const std::function<void(Alert&)> ways[] = {
        [](Alert& shown) { press(shown, Qt::Key_Escape); },
        [](Alert& shown) { shown.close(); },
    };
    for (const auto& way : ways) {
        Alert alert(spec({"Reject", "Codes match - approve"}));
        EXPECT_EQ(answer(alert, way).response, firstButtonResponse);
    }
    // Neither the text view nor the pop-up keeps Return from the default button.
    Alert withText(spec({"Close", "Copy example"}, TextAccessory{590, 260, "{}", 12}));
    EXPECT_EQ(answer(withText, [](Alert& shown) { press(shown, Qt::Key_Return); }).response,
              firstButtonResponse);
    Alert withPopUp(spec({"Cancel", "Open"}, PopUpAccessory{320, 28, {"A", "B", "C"}, 1}));
    const auto chosen = answer(withPopUp, [](Alert& shown) {
        EXPECT_EQ(shown.findChild<QComboBox*>()->size(), QSize(320, 28));
        press(shown, Qt::Key_Down);
        press(shown, Qt::Key_Return);
    });
    EXPECT_EQ(chosen, (AlertAnswer{firstButtonResponse, 2}));
}

// A Wayland compositor takes a copy only from a focused window: the copy is made before the alert closes.
TEST(AlertTest, ACopyButtonCopiesWhileTheAlertIsStillShown) {
    AlertSpec withCopy = spec({"Close", "Copy"});
    withCopy.copyButton = CopyButton{1, "json"};
    for (const int pressed : {0, 1}) {
        std::vector<std::string> copies;
        Alert alert(withCopy, [&](const std::string& text) {
            EXPECT_TRUE(alert.isVisible());
            copies.push_back(text);
        });
        const auto chosen = answer(alert, [&](Alert& shown) {
            QTest::mouseClick(shown.findChildren<QPushButton*>().at(pressed), Qt::LeftButton);
        });
        EXPECT_EQ(chosen.response, firstButtonResponse + pressed);
        EXPECT_EQ(copies, pressed == 1 ? std::vector<std::string>{"json"} : std::vector<std::string>{});
    }
}

TEST(AlertTest, TextViewHoldsTheWholeTextReadOnlyInMonospace) {
    const std::string json = "{\n  \"command\": \"/opt/a b/tessaly-mcp\"\n}";
    Alert alert(spec({"Close"}, TextAccessory{590, 260, json, 12}));
    auto* text = alert.findChild<QPlainTextEdit*>();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->toPlainText().toStdString(), json);
    EXPECT_TRUE(text->isReadOnly());
    EXPECT_EQ(text->size(), QSize(590, 260));
    // Narrow and wide letters take the same room, as a reader sees it: some monospaced fonts lack the flag.
    const QFontMetrics metrics(text->font());
    for (const QChar letter : QStringLiteral("iW.m{")) {
        EXPECT_EQ(metrics.horizontalAdvance(letter), metrics.horizontalAdvance(QLatin1Char('0')))
            << int{letter.unicode()};
    }
}

TEST(AlertTest, StyleDecidesTheIcon) {
    const std::pair<AlertStyle, QString> styles[] = {{AlertStyle::standard, ""},
                                                     {AlertStyle::informational, "Information"},
                                                     {AlertStyle::warning, "Warning"}};
    for (const auto& [style, iconName] : styles) {
        AlertSpec styled = spec({"Close"});
        styled.style = style;
        Alert alert(styled);
        QString shown;
        for (auto* label : alert.findChildren<QLabel*>()) {
            shown += label->pixmap().isNull() ? "" : label->accessibleName();
        }
        EXPECT_EQ(shown, iconName);
    }
}

std::string repeated(const std::string& piece, std::size_t times) {
    return times == 0 ? "" : piece + repeated(piece, times - 1);
}

// The widest labels a request may carry, and one that tries to pass for the dialog's own instruction, are
// shown whole in their own box, and the dialog still fits a 1280x1024 screen.
TEST(AlertTest, QuotedValueHoldsTheWholeLabelApart) {
    const std::string spaced = "Work laptop" + repeated("\u3000", 30) + "Only approve if code is: 999999";
    for (const std::string& label :
         {repeated("W", 80), repeated("\uFDFD", 80), repeated("\u9F98", 80), repeated("\U0001F600", 80),
          repeated("W" + repeated("\u0301\u0316", 12), 80),
          std::string("Work-laptop-of-the-engineering-team Only approve if code is: 999999"), spaced}) {
        const std::string collapsed = label == spaced ? "Work laptop Only approve if code is: 999999" : label;
        ASSERT_TRUE(PairingApproval::isShowableLabel(label)) << label;
        Alert alert(
            PairingApproval::dialog({std::string(43, 'A'), "012345", label, 51234, "0123456789abcdef"}));
        alert.show();
        const auto boxes = alert.findChildren<QTextEdit*>();
        ASSERT_EQ(boxes.size(), 1);
        QTextEdit& box = *boxes[0];
        EXPECT_EQ(box.toPlainText().toStdString(), "\u201C" + collapsed + "\u201D");
        EXPECT_LE(box.document()->size().height(), box.viewport()->height()) << label;
        EXPECT_LE(box.document()->size().width(), box.viewport()->width()) << label;
        const QString shown = QString::fromStdString(collapsed);
        for (const auto* other : alert.findChildren<QLabel*>()) {
            EXPECT_FALSE(other->text().contains(shown.first(6)) || other->text().contains(shown.last(6)))
                << other->text().toStdString();
        }
        EXPECT_LE(alert.width(), 1280);
        EXPECT_LE(alert.height(), 1024) << label;
        alert.hide();
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
