#pragma once

#include "app/desktop.h"

#include <QDialog>
#include <functional>
#include <string>

class QComboBox;

/// The one modal prompt of every window mode: message and informative text, an optional accessory, and
/// buttons kept in the order they were added on every desktop. The first button is the default and is
/// also what Escape and closing the window choose, because it is always the safe one.
class Alert final : public QDialog {
  public:
    /// Copies a text to the clipboard for the alert's CopyButton, while the alert has the focus.
    using Copy = std::function<void(const std::string& text)>;

    explicit Alert(const AlertSpec& spec, Copy copy = {}, QWidget* parent = nullptr);

    /// Shows the alert modally and answers the chosen button and the pop-up's selection.
    AlertAnswer run();

    void reject() override;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void addTexts(const AlertSpec& spec, class QVBoxLayout* column);
    void addAccessory(const AlertSpec& spec, QVBoxLayout* column);
    void addButtons(const AlertSpec& spec, QVBoxLayout* column);

    Copy copy_;
    QComboBox* popUp_ = nullptr;
    QWidget* initialFocus_ = nullptr;
    bool activate_ = false;
};
