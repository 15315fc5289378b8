#include "connect/run_groups.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <unistd.h>

namespace RunGroups {
namespace {

constexpr pid_t freeSlot = 0;
constexpr pid_t reservedSlot = -1; // taken by a spawn whose child does not exist yet: nothing to signal

static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler may only use lock-free atomics");

// Default-constructed atomics start at zero: every slot free.
std::array<std::atomic<pid_t>, capacity> groups;
std::atomic<int> spawnsInProgress{0};
std::atomic<int> stoppingSignal{0};

constexpr std::array stopSignals{SIGINT, SIGTERM, SIGHUP};

// Async-signal-safe calls only: it runs in the handler, or in a thread that has just finished a spawn.
void endWithSignal(int signal) {
    for (auto& group : groups) {
        if (const pid_t leader = group.load(); leader > 0) {
            ::kill(-leader, SIGKILL);
        }
    }
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    ::sigaction(signal, &byDefault, nullptr);
    ::raise(signal);
    // In the handler the signal is blocked until it returns; unblocked, the raised one is delivered now.
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::_exit(128 + signal); // not reached: the default action of each stopping signal ends the process
}

// Seen from the other side, the flag is set before the count is read, and a spawn's end changes the count
// before it reads the flag (both sequentially consistent): at least one of the two sees the other, so the
// groups are always ended, by the handler or by the last spawn to finish.
void onStopSignal(int signal) {
    const int savedErrno = errno;
    stoppingSignal.store(signal);
    if (spawnsInProgress.load() == 0) {
        endWithSignal(signal);
    }
    errno = savedErrno;
}

} // namespace

void installSignalHandlers() {
    for (const int signal : stopSignals) {
        struct sigaction previous {};
        if (::sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        // While a spawn is in progress the program runs on for a moment: calls the signal came into resume.
        action.sa_flags = SA_RESTART;
        ::sigaction(signal, &action, nullptr);
    }
}

SpawnSlot::SpawnSlot() {
    spawnsInProgress.fetch_add(1);
    if (stoppingSignal.load() != 0) {
        return;
    }
    for (std::size_t i = 0; i < capacity; ++i) {
        pid_t expected = freeSlot;
        if (groups[i].compare_exchange_strong(expected, reservedSlot)) {
            index_ = i;
            return;
        }
    }
}

SpawnSlot::~SpawnSlot() {
    if (reserved() && !held_) {
        groups[index_].store(freeSlot);
    }
    if (spawnsInProgress.fetch_sub(1) == 1) {
        if (const int signal = stoppingSignal.load(); signal != 0) {
            endWithSignal(signal);
        }
    }
}

void SpawnSlot::hold(pid_t pid) {
    if (reserved()) {
        groups[index_].store(pid);
        held_ = true;
    }
}

void release(pid_t pid) {
    for (auto& group : groups) {
        pid_t expected = pid;
        if (group.compare_exchange_strong(expected, freeSlot)) {
            return;
        }
    }
}

} // namespace RunGroups
