#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// What the window modes ask of the desktop. The rules live outside the window-system module and see the
// desktop only through this record, so they are tested with fakes and the module stays a thin layer.
// Sizes are in the desktop's device-independent pixels, and so are font sizes, so that a text keeps its
// proportion to the view that holds it whatever the screen's density.

/// The response of an alert's first button; the n-th button added answers firstButtonResponse + n.
inline constexpr int firstButtonResponse = 1000;

enum class AlertStyle {
    standard,      ///< no style icon
    informational, ///< the desktop's information icon
    warning,       ///< the desktop's warning icon
};

/// A list of texts to pick one from, shown below the alert's texts.
struct PopUpAccessory {
    int width = 0;
    int height = 0;
    std::vector<std::string> items;
    std::size_t selected = 0;

    friend bool operator==(const PopUpAccessory&, const PopUpAccessory&) = default;
};

/// A read-only text in the desktop's monospaced font, shown below the alert's texts.
struct TextAccessory {
    int width = 0;
    int height = 0;
    std::string text;
    int fontSize = 12;

    friend bool operator==(const TextAccessory&, const TextAccessory&) = default;
};

/// A button that copies `text` to the clipboard when pressed, while the alert still has the keyboard focus
/// and before it closes: the one moment at which a Wayland compositor without data-control accepts a copy.
struct CopyButton {
    /// Its index among the alert's buttons.
    std::size_t button = 0;
    std::string text;

    friend bool operator==(const CopyButton&, const CopyButton&) = default;
};

/// A value from outside within the informative text, such as a name another program asks for: shown in an
/// element of its own, set apart from the alert's texts, which holds all of it, so that no part of it can
/// pass for a line of the alert's own. Assistive technologies still read the whole informative text, with the
/// value in its place.
struct QuotedValue {
    /// Its span of the informative text, in bytes. The texts before and after the span are shown above and
    /// below the element, without the white space at the seams.
    std::size_t offset = 0;
    std::size_t length = 0;
    /// What the element shows for it.
    std::string shown;

    friend bool operator==(const QuotedValue&, const QuotedValue&) = default;
};

/// One modal prompt. Every text is shown exactly as given: never as markup, never with a mnemonic.
struct AlertSpec {
    using Accessory = std::variant<std::monostate, PopUpAccessory, TextAccessory>;

    std::string messageText;
    std::string informativeText;
    /// In the order shown; the first is the default (Return) and is also what Escape chooses.
    std::vector<std::string> buttons;
    AlertStyle style = AlertStyle::standard;
    /// Bring the application to the front, ignoring other applications, before the alert is shown.
    bool activate = false;
    Accessory accessory;
    std::optional<CopyButton> copyButton;
    std::optional<QuotedValue> quotedValue;

    friend bool operator==(const AlertSpec&, const AlertSpec&) = default;
};

struct AlertAnswer {
    int response = firstButtonResponse;
    /// The pop-up's selected item when the alert had one.
    std::optional<std::size_t> selectedItem;

    friend bool operator==(const AlertAnswer&, const AlertAnswer&) = default;
};

/// The three pictures of the status item: the companion is connected, needs the user, or is not running.
enum class TraySymbol { connected, attention, offline };

/// What the status item and its menu show at one moment.
struct TrayDisplay {
    /// None until the first report: the item then shows no picture and no tooltip.
    std::optional<TraySymbol> symbol;
    std::string tooltip;
    /// What assistive technologies say for the picture.
    std::string accessibleDescription;
    std::string statusLine;
    std::string detailLine;
    std::string connectTitle;
    bool connectEnabled = true;

    friend bool operator==(const TrayDisplay&, const TrayDisplay&) = default;
};

/// What the status item's three actions do. One shared instance, whose handlers the menu-bar mode sets.
struct ConnectMenuTarget {
    std::function<void()> handler;
    std::function<void()> quitHandler;
    std::function<void()> configHandler;

    static ConnectMenuTarget& shared();
    void connect() const { call(handler); }
    void quit() const { call(quitHandler); }
    void copyConfig() const { call(configHandler); }

  private:
    static void call(const std::function<void()>& action) {
        if (action) {
            action();
        }
    }
};

/// How a launched program's process ended.
struct ProcessEnd {
    /// Ended by a signal rather than by exiting.
    bool signalled = false;
    /// The exit status, or the number of the signal.
    int code = 0;

    friend bool operator==(const ProcessEnd&, const ProcessEnd&) = default;
};

/// Told at most once, on the main thread while its event loop turns, how a launched program's process
/// ended.
using LaunchEnded = std::function<void(ProcessEnd)>;

/// The desktop operations of the window modes, as function values. Each is called on the main thread, except
/// `postToMain`, whose purpose is to be called from any other.
struct Desktop {
    std::function<AlertAnswer(const AlertSpec&)> runAlert;
    /// Puts plain text on the clipboard so that it stays there after this process has ended; from no window
    /// of ours (the status item's menu), so where the desktop insists on a focused window it shows one to
    /// copy from. An alert's CopyButton copies from that alert instead.
    std::function<void(const std::string& text)> copyText;
    /// Hands an https URL to the desktop's default handler for https; the result is not examined.
    std::function<void(const std::string& url)> openURL;

    /// True when the desktop knows a launchable browser under one of the entries of `bundleIdentifier`.
    std::function<bool(const std::string& bundleIdentifier)> isBrowserInstalled;
    /// True when the browser installed under `bundleIdentifier` runs confined (Flatpak, Snap), out of reach
    /// of the user's runtime folder and cache.
    std::function<bool(const std::string& bundleIdentifier)> isBrowserSandboxed;
    /// Starts the browser installed under `bundleIdentifier` on `url`, detached from this process (its own
    /// session, its streams on /dev/null, no other descriptor of ours) and with a token that lets it come to
    /// the front, and answers at once whether it started. `ended` is told later how the browser's process
    /// ended; never when nothing started, nor when the desktop started the browser without a process of ours
    /// (an entry activated over the session bus).
    std::function<bool(const std::string& url, const std::string& bundleIdentifier, LaunchEnded ended)>
        launchBrowser;

    /// Shows the progress panel of the attach wait, above other windows; `onCancel` runs on the main thread
    /// when the user presses Cancel or Escape. Answers the function that closes the panel.
    std::function<std::function<void()>(std::function<void()> onCancel)> showProgressPanel;
    /// Lets the event loop deliver window events and posted work for `seconds`, then returns.
    std::function<void(double seconds)> runEventLoop;
    /// Queues `work` to run on the main thread while its event loop turns; callable from any thread.
    std::function<void(std::function<void()> work)> postToMain;

    /// Puts the status item with its menu in the system tray, showing `display`, its actions calling
    /// `target`, and answers the function that changes what it shows. Where no tray is available yet the
    /// item appears as soon as one is; `trayAvailable` says whether one is now.
    std::function<std::function<void(const TrayDisplay&)>(const TrayDisplay& display,
                                                          const ConnectMenuTarget& target)>
        createTray;
    std::function<bool()> trayAvailable;
    /// Calls `tick` on the main thread every `seconds`, from `seconds` from now, for as long as the loop
    /// runs.
    std::function<void(double seconds, std::function<void()> tick)> startTimer;
    /// Runs the event loop until `quit` is called.
    std::function<void()> runUntilQuit;
    std::function<void()> quit;
};
