#include "app/child_reaper.h"

#include "connect/spawn.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

ChildReaper::ChildReaper() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), thread_([this] { work(); }) {}

ChildReaper::~ChildReaper() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    const std::uint64_t one = 1;
    (void)::write(wake_, &one, sizeof one);
    thread_.join();
    for (const Watched& child : children_) {
        ::close(child.pidfd);
    }
    ::close(wake_);
}

void ChildReaper::adopt(pid_t pid) {
    // Only this object reaps it, so the descriptor stays its own.
    const int pidfd = openProcessDescriptor(pid);
    if (pidfd < 0) {
        // Without process descriptors, a thread that waits for this one child does the same job.
        std::thread([pid] {
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }).detach();
        return;
    }
    {
        std::lock_guard guard(lock_);
        children_.push_back({pid, pidfd});
    }
    const std::uint64_t one = 1;
    (void)::write(wake_, &one, sizeof one);
}

std::size_t ChildReaper::watching() {
    std::lock_guard guard(lock_);
    return children_.size();
}

void ChildReaper::work() {
    std::vector<pollfd> watched;
    while (true) {
        {
            std::lock_guard guard(lock_);
            if (stopping_) {
                return;
            }
            watched.assign(1, {wake_, POLLIN, 0});
            for (const Watched& child : children_) {
                watched.push_back({child.pidfd, POLLIN, 0});
            }
        }
        if (::poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR) {
            return;
        }
        std::uint64_t drained = 0;
        (void)::read(wake_, &drained, sizeof drained);
        std::lock_guard guard(lock_);
        std::erase_if(children_, [](const Watched& child) {
            // WNOHANG: a descriptor is readable only once its process has ended, but a spurious wake-up must
            // not block the thread. ECHILD: reaped behind our back (SIGCHLD ignored); nothing left to do.
            const pid_t reaped = ::waitpid(child.pid, nullptr, WNOHANG);
            if (reaped == 0 || (reaped < 0 && errno != ECHILD)) {
                return false;
            }
            ::close(child.pidfd);
            return true;
        });
    }
}
