#pragma once

#include "connect/raw_value.h"

#include <chrono>
#include <functional>

/// The wait for the extension to attach after the pairing page was opened. The clock, the sleep, the
/// cancellation test and the probe are parameters so that the timing rules can be tested without waiting.
namespace ConnectWait {

enum class Result { attached, cancelled, timedOut };

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;

/// How long each sleep between probes lasts, whatever the interval.
inline constexpr double sleepStep = 0.2;

struct Options {
    double timeout = 0;    ///< seconds, counted from the call
    double interval = 3.0; ///< least seconds between the starts of two probes
    std::function<Instant()> now = &Clock::now;
    std::function<void(double seconds)> sleep;
    std::function<bool()> cancelled = [] { return false; };
    /// Answers at once whether the extension is known to be attached.
    std::function<bool()> probe;
};

/// Probes at once, then at most every `interval` seconds, sleeping sleepStep between looks, until a probe
/// answers true (attached), `cancelled` answers true (cancelled) or `timeout` passes (timedOut).
Result untilAttached(const Options& options);

} // namespace ConnectWait

template <> struct RawValues<ConnectWait::Result> {
    static constexpr std::array<std::string_view, 3> names = {"attached", "cancelled", "timedOut"};
};
