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

} // namespace EventLoop
