#include "desktop/tray_item.h"

#include "app/tray_display.h"
#include "desktop/tray_icons.h"
#include "desktop/xcb_calls.h"

#include <QAbstractNativeEventFilter>
#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTextDocument>
#include <cstdlib>
#include <utility>
#include <xcb/xcb.h>

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");

QString fromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

/// A menu title that reads as written. Qt's menus take "&" as a mnemonic mark, so each is doubled. Over the
/// bus Qt turns only the first "&" into that protocol's mark "_" and passes the others on as they are,
/// while any lone "_" is a mark there and "__" shows one underscore: so only the first "&" is doubled.
QString menuText(const std::string& text, bool overBus) {
    QString title = fromUtf8(text);
    if (!overBus) {
        return title.replace(QLatin1Char('&'), QLatin1String("&&"));
    }
    title.replace(QLatin1Char('_'), QLatin1String("__"));
    if (const auto first = title.indexOf(QLatin1Char('&')); first >= 0) {
        title.insert(first, QLatin1Char('&'));
    }
    return title;
}

/// A tooltip that reads as written. Over the bus Qt sends it as the tooltip's title, which hosts show as
/// plain text (only the subtitle may hold markup). In the X11 tray Qt shows it as a widget's tooltip,
/// which guesses rich text from tags; escaped rich text shows every character.
QString tooltipText(const std::string& text, bool overBus) {
    if (overBus || text.empty()) {
        return fromUtf8(text);
    }
    return Qt::convertFromPlainText(fromUtf8(text));
}

/// One call to the status-item watcher: not starting it (a watcher the bus would start has no host yet),
/// and bounded, because the mode asks again on its tick and a watcher that hangs must not stall it.
QDBusMessage askWatcher(QDBusConnection& bus, const QString& interface, const QString& method,
                        const QVariantList& arguments) {
    QDBusMessage call = QDBusMessage::createMethodCall(watcherService, watcherPath, interface, method);
    call.setArguments(arguments);
    call.setAutoStartService(false);
    return bus.call(call, QDBus::Block, 1000);
}

/// Whether a status-item host is registered with the session bus's watcher, as Qt tests it when it
/// chooses the bus protocol for a new picture: Qt reads the property through the watcher's description of
/// itself, so a watcher that does not describe it counts as having no host.
bool statusNotifierHostPresent() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return false;
    }
    const QString property = QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage description = askWatcher(bus, QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                                QStringLiteral("Introspect"), {});
    if (description.type() != QDBusMessage::ReplyMessage || description.arguments().isEmpty() ||
        !description.arguments().constFirst().toString().contains(u'"' + property + u'"')) {
        return false;
    }
    const QDBusMessage value = askWatcher(bus, QStringLiteral("org.freedesktop.DBus.Properties"),
                                          QStringLiteral("Get"), {watcherService, property});
    return value.type() == QDBusMessage::ReplyMessage && !value.arguments().isEmpty() &&
           value.arguments().constFirst().value<QDBusVariant>().variant().toBool();
}

xcb_connection_t* x11Connection() {
    const auto* x11 = qApp != nullptr ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 != nullptr ? x11->connection() : nullptr;
}

/// The selection an X11 tray manager owns on the screen Qt opened (the one DISPLAY names).
xcb_atom_t traySelection(xcb_connection_t* connection) {
    char* host = nullptr;
    int display = 0;
    int screen = 0;
    if (xcb_parse_display(nullptr, &host, &display, &screen) == 0) {
        screen = 0;
    }
    std::free(host);
    return Xcb::internAtom(connection, ("_NET_SYSTEM_TRAY_S" + QByteArray::number(screen)).toStdString());
}

bool x11TrayPresent(xcb_connection_t* connection, xcb_atom_t selection) {
    return Xcb::selectionOwner(connection, selection) != XCB_WINDOW_NONE;
}

bool x11TrayPresent() {
    xcb_connection_t* connection = x11Connection();
    return connection != nullptr && x11TrayPresent(connection, traySelection(connection));
}

/// Where the item's picture is a window of its own (the X11 tray), the names assistive technologies read
/// for it. Over the bus Qt offers no place for them: hosts read the tooltip.
void describeX11Picture(const TrayDisplay& display) {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        // Qt's own window for the picture in the X11 tray; it is made anew when the tray restarts, and the
        // mode's tick names it again.
        if (window->objectName() == QLatin1String("QSystemTrayIconSys")) {
            window->setAccessibleName(fromUtf8(display.accessibleDescription));
            window->setAccessibleDescription(fromUtf8(display.tooltip));
        }
    }
}

TrayItem* currentItem = nullptr;

} // namespace

/// Tells when an X11 tray manager starts: it announces itself with a MANAGER message to the root window,
/// whose structure events Qt already receives.
class X11TrayWatch final : public QAbstractNativeEventFilter {
  public:
    X11TrayWatch(xcb_connection_t* connection, QTimer& lookAgain)
        : connection_(connection), manager_(Xcb::internAtom(connection, "MANAGER")),
          selection_(traySelection(connection)), lookAgain_(lookAgain) {
        qApp->installNativeEventFilter(this);
    }
    ~X11TrayWatch() override { qApp->removeNativeEventFilter(this); }
    X11TrayWatch(const X11TrayWatch&) = delete;
    X11TrayWatch& operator=(const X11TrayWatch&) = delete;

    bool present() const { return x11TrayPresent(connection_, selection_); }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t") {
            return false;
        }
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
            const auto* client = static_cast<const xcb_client_message_event_t*>(message);
            if (client->type == manager_ && client->format == 32 && client->data.data32[1] == selection_) {
                lookAgain_.start();
            }
        }
        return false;
    }

  private:
    xcb_connection_t* connection_;
    xcb_atom_t manager_;
    xcb_atom_t selection_;
    QTimer& lookAgain_;
};

TrayItem::TrayItem(const ConnectMenuTarget& target)
    : target_(target), display_(TrayDisplayRules::initial()), menu_(std::make_unique<QMenu>()) {
    statusLine_ = menu_->addAction(QString());
    statusLine_->setEnabled(false);
    detailLine_ = menu_->addAction(QString());
    detailLine_->setEnabled(false);
    menu_->addSeparator();
    connectItem_ = menu_->addAction(QString());
    QAction* copyItem = menu_->addAction(QStringLiteral("Copy MCP configuration"));
    menu_->addSeparator();
    QAction* quitItem = menu_->addAction(QStringLiteral("Quit"));
    quitItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quitItem->setShortcutVisibleInContextMenu(true);

    // Queued: a handler may run a modal prompt, which must not start inside the menu's own event handling
    // or the bus call that reported the click.
    const std::pair<QAction*, void (ConnectMenuTarget::*)() const> handlers[] = {
        {connectItem_, &ConnectMenuTarget::connect},
        {copyItem, &ConnectMenuTarget::copyConfig},
        {quitItem, &ConnectMenuTarget::quit},
    };
    for (const auto& [action, handler] : handlers) {
        QObject::connect(
            action, &QAction::triggered, action, [this, handler = handler] { (target_.*handler)(); },
            Qt::QueuedConnection);
    }

    showTexts();

    lookAgain_.setSingleShot(true);
    lookAgain_.setInterval(0);
    QObject::connect(&lookAgain_, &QTimer::timeout, &lookAgain_, [this] { placeIfTrayPresent(); });
    // Watching starts before the first look (the first show), so that a tray appearing in between is not
    // missed.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        hostWatch_ = std::make_unique<QDBusServiceWatcher>(watcherService, bus,
                                                           QDBusServiceWatcher::WatchForRegistration);
        QObject::connect(hostWatch_.get(), &QDBusServiceWatcher::serviceRegistered, &lookAgain_,
                         qOverload<>(&QTimer::start));
        // A bus signal reaches only a slot; the timer's start() is one, so no class of our own is needed.
        bus.connect(watcherService, watcherPath, watcherService,
                    QStringLiteral("StatusNotifierHostRegistered"), &lookAgain_, SLOT(start()));
    }
    if (xcb_connection_t* connection = x11Connection()) {
        x11Watch_ = std::make_unique<X11TrayWatch>(connection, lookAgain_);
    }
}

TrayItem::~TrayItem() = default;

void TrayItem::show(const TrayDisplay& display) {
    const bool symbolChanged = display.symbol != display_.symbol;
    display_ = display;
    showTexts();
    if (icon_ == nullptr) {
        placeIfTrayPresent();
    } else {
        showPicture(symbolChanged);
    }
}

void TrayItem::placeIfTrayPresent() {
    if (icon_ != nullptr) {
        return;
    }
    if (statusNotifierHostPresent() || (x11Watch_ != nullptr && x11Watch_->present())) {
        place();
    }
}

void TrayItem::place() {
    if (icon_ != nullptr) {
        return;
    }
    // Qt makes the same test when the picture is made, and keeps its answer for the process.
    menuOverBus_ = statusNotifierHostPresent();
    icon_ = std::make_unique<QSystemTrayIcon>();
    icon_->setContextMenu(menu_.get());
    QObject::connect(icon_.get(), &QSystemTrayIcon::activated, icon_.get(),
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         // The item has nothing to open but its menu, so a plain click opens it as well. Only
                         // on X11, where a menu can be put at the pointer.
                         if (reason == QSystemTrayIcon::Trigger && x11Connection() != nullptr) {
                             menu_->popup(QCursor::pos());
                         }
                     });
    hostWatch_.reset();
    x11Watch_.reset();
    showTexts();
    showPicture(true);
}

void TrayItem::showTexts() {
    statusLine_->setText(menuText(display_.statusLine, menuOverBus_));
    detailLine_->setText(menuText(display_.detailLine, menuOverBus_));
    connectItem_->setText(menuText(display_.connectTitle, menuOverBus_));
    connectItem_->setEnabled(display_.connectEnabled);
}

void TrayItem::showPicture(bool symbolChanged) {
    // Only what changed: over the bus every change makes the host fetch the picture again, and the mode
    // shows its display every few seconds.
    if (symbolChanged) {
        icon_->setIcon(display_.symbol ? trayIcon(*display_.symbol) : QIcon());
    }
    const QString tooltip = display_.symbol ? tooltipText(display_.tooltip, menuOverBus_) : QString();
    if (icon_->toolTip() != tooltip) {
        icon_->setToolTip(tooltip);
    }
    // Qt puts no picture without an image in the tray.
    if (icon_->isVisible() != display_.symbol.has_value()) {
        icon_->setVisible(display_.symbol.has_value());
    }
    describeX11Picture(display_);
}

std::function<void(const TrayDisplay&)> createTray(const TrayDisplay& display,
                                                   const ConnectMenuTarget& target) {
    destroyTray();
    currentItem = new TrayItem(target);
    currentItem->show(display);
    return [](const TrayDisplay& shown) {
        if (currentItem != nullptr) {
            currentItem->show(shown);
        }
    };
}

bool trayAvailable() {
    return statusNotifierHostPresent() || x11TrayPresent();
}

void destroyTray() {
    delete std::exchange(currentItem, nullptr);
}
