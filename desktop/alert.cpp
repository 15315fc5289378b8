#include "desktop/alert.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

namespace {

/// Wide enough for the longest informative text to wrap into a few lines, as a desktop's message box does.
constexpr int minimumTextWidth = 420;

QString fromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

/// A window title that reads as written: "[*]" would otherwise mark where a modified flag goes.
QString literalWindowTitle(const std::string& title) {
    return fromUtf8(title).replace(QLatin1String("[*]"), QLatin1String("[*][*]"));
}

/// A label that shows its text as it is: no markup guessed from tags, no links, no mnemonic.
QLabel* plainLabel(const std::string& text, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(fromUtf8(text));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

/// A button title with any "&" doubled, so that it reads as written instead of marking a mnemonic.
QString literalTitle(const std::string& title) {
    return fromUtf8(title).replace(QLatin1Char('&'), QLatin1String("&&"));
}

int accessoryWidth(const AlertSpec& spec) {
    if (const auto* popUp = std::get_if<PopUpAccessory>(&spec.accessory)) {
        return popUp->width;
    }
    if (const auto* text = std::get_if<TextAccessory>(&spec.accessory)) {
        return text->width;
    }
    return 0;
}

} // namespace

Alert::Alert(const AlertSpec& spec, Copy copy, QWidget* parent)
    : QDialog(parent), copy_(std::move(copy)), activate_(spec.activate) {
    setWindowTitle(literalWindowTitle(spec.messageText));
    setModal(true);

    auto* row = new QHBoxLayout(this);
    row->setSizeConstraint(QLayout::SetFixedSize);
    if (spec.style != AlertStyle::standard) {
        const bool warning = spec.style == AlertStyle::warning;
        auto* icon = new QLabel(this);
        const int size = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
        icon->setPixmap(
            style()
                ->standardIcon(warning ? QStyle::SP_MessageBoxWarning : QStyle::SP_MessageBoxInformation,
                               nullptr, this)
                .pixmap(size, size));
        icon->setAccessibleName(warning ? QStringLiteral("Warning") : QStringLiteral("Information"));
        row->addWidget(icon, 0, Qt::AlignTop);
    }
    auto* column = new QVBoxLayout();
    row->addLayout(column);
    addTexts(spec, column);
    addAccessory(spec, column);
    addButtons(spec, column);
}

void Alert::addTexts(const AlertSpec& spec, QVBoxLayout* column) {
    auto* message = plainLabel(spec.messageText, this);
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    column->addWidget(message);

    if (!spec.informativeText.empty()) {
        auto* informative = plainLabel(spec.informativeText, this);
        informative->setWordWrap(true);
        informative->setFixedWidth(std::max(minimumTextWidth, accessoryWidth(spec)));
        column->addWidget(informative);
    }
}

void Alert::addAccessory(const AlertSpec& spec, QVBoxLayout* column) {
    if (const auto* popUpSpec = std::get_if<PopUpAccessory>(&spec.accessory)) {
        popUp_ = new QComboBox(this);
        for (const auto& item : popUpSpec->items) {
            popUp_->addItem(fromUtf8(item));
        }
        popUp_->setCurrentIndex(static_cast<int>(popUpSpec->selected));
        popUp_->setFixedSize(popUpSpec->width, popUpSpec->height);
        column->addWidget(popUp_);
        // Keyboard users can change the selection at once; Return still reaches the default button.
        initialFocus_ = popUp_;
    } else if (const auto* textSpec = std::get_if<TextAccessory>(&spec.accessory)) {
        auto* text = new QPlainTextEdit(this);
        text->setPlainText(fromUtf8(textSpec->text));
        text->setReadOnly(true);
        text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPixelSize(textSpec->fontSize);
        font.setWeight(QFont::Normal);
        text->setFont(font);
        text->setFixedSize(textSpec->width, textSpec->height);
        column->addWidget(text);
    }
}

void Alert::addButtons(const AlertSpec& spec, QVBoxLayout* column) {
    // A plain row rather than a button box: a button box orders buttons by role, differently on each
    // desktop, and the order here carries meaning (the safe choice first).
    auto* buttons = new QHBoxLayout();
    buttons->addStretch();
    for (std::size_t i = 0; i < spec.buttons.size(); ++i) {
        auto* button = new QPushButton(literalTitle(spec.buttons[i]), this);
        const int response = firstButtonResponse + static_cast<int>(i);
        std::optional<std::string> copied;
        if (spec.copyButton && spec.copyButton->button == i) {
            copied = spec.copyButton->text;
        }
        connect(button, &QPushButton::clicked, this, [this, response, copied] {
            if (copied && copy_) {
                copy_(*copied);
            }
            done(response);
        });
        if (i == 0) {
            button->setDefault(true);
            if (initialFocus_ == nullptr) {
                initialFocus_ = button;
            }
        }
        buttons->addWidget(button);
    }
    column->addLayout(buttons);
}

AlertAnswer Alert::run() {
    const int response = exec();
    AlertAnswer answer{response, std::nullopt};
    if (popUp_ != nullptr && popUp_->currentIndex() >= 0) {
        answer.selectedItem = static_cast<std::size_t>(popUp_->currentIndex());
    }
    return answer;
}

void Alert::reject() {
    done(firstButtonResponse);
}

void Alert::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (initialFocus_ != nullptr) {
        initialFocus_->setFocus(Qt::OtherFocusReason);
    }
    if (activate_) {
        // Once the window exists on the display: activating one that is not mapped yet does nothing.
        QTimer::singleShot(0, this, [this] {
            raise();
            activateWindow();
        });
    }
}
