#include "desktop/alert.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <utility>

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
QLabel* plainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

/// A button title with any "&" doubled, so that it reads as written instead of marking a mnemonic.
QString literalTitle(const std::string& title) {
    return fromUtf8(title).replace(QLatin1Char('&'), QLatin1String("&&"));
}

/// The informative text around the quoted value, without the white space at the seams: the value's own
/// element stands between them.
std::pair<QString, QString> textsAround(const std::string& text, const QuotedValue& value) {
    const std::size_t offset = std::min(value.offset, text.size());
    const std::size_t end = offset + std::min(value.length, text.size() - offset);
    return {fromUtf8(text.substr(0, offset)).trimmed(), fromUtf8(text.substr(end)).trimmed()};
}

/// A framed, read-only box that holds all of `text` at `width`: lines break between words, or between any two
/// characters when a word is wider than the box, and the box grows to the last line, so that nothing is
/// cut off or scrolled out of sight. Its paint is clipped to the box, whatever the glyphs' own extent.
QTextEdit* quotedValueBox(const std::string& text, int width, QWidget* parent) {
    auto* box = new QTextEdit(parent);
    box->setReadOnly(true);
    box->setTextInteractionFlags(Qt::TextSelectableByMouse);
    box->setFocusPolicy(Qt::NoFocus);
    box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QTextDocument* document = box->document();
    QTextOption option = document->defaultTextOption();
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    // The quotation marks stay at the ends they are written at, whichever direction the value reads in.
    option.setTextDirection(Qt::LeftToRight);
    document->setDefaultTextOption(option);
    box->setPlainText(fromUtf8(text));
    box->setFixedWidth(width);
    // Measured in the font and frame the style gives it, which it takes only when polished.
    box->ensurePolished();
    const int frame = box->frameWidth();
    document->setTextWidth(width - 2 * frame);
    box->setFixedHeight(static_cast<int>(std::ceil(document->size().height())) + 2 * frame);
    return box;
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
    auto* message = plainLabel(fromUtf8(spec.messageText), this);
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    column->addWidget(message);

    const int width = std::max(minimumTextWidth, accessoryWidth(spec));
    const auto addInformative = [&](const QString& text) {
        if (!text.isEmpty()) {
            auto* informative = plainLabel(text, this);
            informative->setWordWrap(true);
            informative->setFixedWidth(width);
            column->addWidget(informative);
        }
    };
    if (!spec.quotedValue) {
        addInformative(fromUtf8(spec.informativeText));
        return;
    }
    const auto [before, after] = textsAround(spec.informativeText, *spec.quotedValue);
    addInformative(before);
    column->addWidget(quotedValueBox(spec.quotedValue->shown, width, this));
    addInformative(after);
    // The labels hold the text in pieces; a screen reader reads the sentence whole, with the value in place.
    setAccessibleDescription(fromUtf8(spec.informativeText));
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
