#pragma once

#include <ctime>

/// CLOCK_MONOTONIC in milliseconds: the clock every benchmark tool stamps with, and the one Python's
/// time.monotonic() reads, so that stamps from both compare.
inline double nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}
