#pragma once

#include <QDialog>
#include <functional>

class QCloseEvent;

/// The panel shown while the connect mode waits for the browser extension: a floating window that stays
/// above the browser the user is working in. It has no close button and refuses the window manager's close
/// request, because ending the wait is a decision the mode must hear about: Cancel and Escape are the only
/// ways out, and they only report the wish; the wait closes the panel when it ends. A dialog, though never
/// modal, so that assistive technologies present it as one.
class ProgressPanel final : public QDialog {
  public:
    explicit ProgressPanel(std::function<void()> onCancel);

    /// Escape: reports the wish to cancel, as the button does.
    void reject() override;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    std::function<void()> onCancel_;
};

/// Shows a progress panel, centred and not modal, without taking the focus from the application the user
/// is in. Answers the function that closes it (it is deleted when the event loop next turns); calling that
/// more than once is harmless, and so is calling it from `onCancel`.
std::function<void()> showProgressPanel(std::function<void()> onCancel);
