#pragma once

#include <functional>

// The connect mode waits on its own schedule (polling the companion) yet must keep its panel responsive and
// receive the browser launch's outcome; it does so by turning the main event loop in slices.
namespace EventLoop {

/// Delivers window events, posted work and GLib sources on the main thread for `seconds`, sleeping while
/// there is nothing to deliver, then returns; at once for a negative or NaN time.
void run(double seconds);

/// Queues `work` to run on the main thread when its event loop next turns; callable from any thread. Work
/// posted after the application object has gone is dropped.
void postToMain(std::function<void()> work);

/// Calls `tick` on the main thread every `seconds`, the first time `seconds` from now, until `runUntilQuit`
/// returns; ticks missed while the thread was busy are not made up. Nothing for a time that is not positive,
/// which would otherwise tick without pause.
void startTimer(double seconds, std::function<void()> tick);

/// Runs the main event loop until `quit`. Closing a window, even the last one, does not end it: a mode
/// that lives in the tray has no window of its own.
void runUntilQuit();

/// Ends the loop `runUntilQuit` turns, after closing the windows still open (an alert answers its first
/// button); a window that refuses to close keeps it running. Safe from a menu action; nothing while that
/// loop is not running.
void quit();

} // namespace EventLoop
