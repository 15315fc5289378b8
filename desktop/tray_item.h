#pragma once

#include "app/desktop.h"

#include <QTimer>
#include <functional>
#include <memory>
#include <string>

class QAction;
class QDBusServiceWatcher;
class QMenu;
class QSystemTrayIcon;

/// The status item of the menu-bar mode: a picture in the system tray and its menu of seven positions
/// (status line, detail line, a separator, connect, copy configuration, a separator, quit).
///
/// The picture goes into the tray only once a tray is there. Qt chooses between the session bus's
/// status-item protocol and the X11 tray when the first picture is made and keeps that choice for the rest
/// of the process, so a picture made while there was no tray would never reach a status-item host that
/// starts later. Until then the item watches for a host on the session bus and for a new X11 tray manager.
class TrayItem final {
  public:
    /// Shows the display of a mode that has no report yet. `target` is kept by reference and must outlive
    /// the item.
    explicit TrayItem(const ConnectMenuTarget& target);
    ~TrayItem();
    TrayItem(const TrayItem&) = delete;
    TrayItem& operator=(const TrayItem&) = delete;

    /// Shows `display`: every text exactly as given. Also looks once more for a tray if none was seen yet.
    void show(const TrayDisplay& display);

    /// Puts the picture in the tray now, whether or not a tray is seen; the watch calls it when one appears.
    void place();

    QMenu& menu() { return *menu_; }
    /// Null until the picture has been placed.
    QSystemTrayIcon* icon() { return icon_.get(); }

  private:
    void placeIfTrayPresent();
    void showTexts();
    void showPicture(bool symbolChanged);

    const ConnectMenuTarget& target_;
    TrayDisplay display_;
    /// Whether the menu travels over the session bus, whose menus mark mnemonics with "_".
    bool menuOverBus_ = false;
    std::unique_ptr<QMenu> menu_;
    QAction* statusLine_ = nullptr;
    QAction* detailLine_ = nullptr;
    QAction* connectItem_ = nullptr;
    std::unique_ptr<QSystemTrayIcon> icon_;
    /// Coalesces the signs that a tray may have appeared into one look, once the loop turns.
    QTimer lookAgain_;
    std::unique_ptr<QDBusServiceWatcher> hostWatch_;
    std::unique_ptr<class X11TrayWatch> x11Watch_;
};

/// Creates the process's one status item (replacing an earlier one), showing `display`, its actions
/// calling `target`, and answers the function that changes what it shows; that function does nothing once
/// the item is gone.
std::function<void(const TrayDisplay&)> createTray(const TrayDisplay& display,
                                                   const ConnectMenuTarget& target);

/// True when a tray could show the item now: a status-item host on the session bus or an X11 tray.
/// Asks the bus and the X server itself: Qt's own answer would fix Qt's choice of tray for the process.
bool trayAvailable();

/// Deletes the process's status item; called before the application object goes, because its menu is a
/// window.
void destroyTray();
