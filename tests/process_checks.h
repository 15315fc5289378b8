#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <sys/types.h>
#include <sys/wait.h>
#include <thread>

// What the tests of child processes ask: how long it took, whether a process is gone, what this one holds.

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/// Whether `condition` comes to hold within `seconds`: tests wait for events, never fixed times.
template <typename Condition> bool eventually(const Condition& condition, int seconds = 10) {
    const auto giveUp = Clock::now() + std::chrono::seconds(seconds);
    while (!condition() && Clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

/// Reaped processes are gone; one left running or unreaped still answers to kill(pid, 0).
inline bool gone(pid_t pid) {
    return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
}

/// No child of this process left, running or unreaped.
inline bool noChildren() {
    errno = 0;
    return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

/// How many entries a folder such as /proc/self/fd (open descriptors) or /proc/self/task (threads) has.
inline long entries(const char* folder) {
    return std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator());
}
