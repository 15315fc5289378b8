#include "connect/wait.h"

#include <optional>

namespace ConnectWait {
namespace {

double secondsBetween(Instant earlier, Instant later) {
    return std::chrono::duration<double>(later - earlier).count();
}

} // namespace

Result untilAttached(const Options& options) {
    // Time is measured as seconds elapsed rather than as instants plus durations, so that no timeout or
    // interval, however large, can overflow the clock's arithmetic.
    const Instant start = options.now();
    std::optional<Instant> lastProbe; // none: the first pass probes at once
    if (options.cancelled()) {
        return Result::cancelled;
    }
    while (true) {
        // Written as "not before the deadline" so that a timeout that is not a number ends the wait at once.
        if (!(secondsBetween(start, options.now()) < options.timeout)) {
            return Result::timedOut;
        }
        const Instant current = options.now();
        if (lastProbe && options.interval > secondsBetween(*lastProbe, current)) {
            options.sleep(sleepStep);
        } else {
            lastProbe = options.now();
            if (options.probe()) {
                return Result::attached;
            }
        }
        if (options.cancelled()) {
            return Result::cancelled;
        }
    }
}

} // namespace ConnectWait
