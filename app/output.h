#pragma once

#include <string_view>

/// Writes all of `text` to `fd`, retrying what the kernel did not take, so that a reader never sees a partial
/// line interleaved with anything else. False when the descriptor stopped taking bytes (a closed pipe).
bool writeAll(int fd, std::string_view text);
