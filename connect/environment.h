#pragma once

#include <cstdlib>

/// The value of the environment variable `name`, or null. The program never changes its environment, so
/// reading it is safe from any thread.
inline const char* environmentVariable(const char* name) {
    return std::getenv(name); // NOLINT(concurrency-mt-unsafe): nothing in this process sets the environment
}
