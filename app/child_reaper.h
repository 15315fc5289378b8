#pragma once

#include <mutex>
#include <sys/types.h>
#include <thread>
#include <vector>

/// Reaps the children that this process starts and never waits for (a connect attempt from the status item)
/// as soon as each one ends, on a thread of its own, so that a process that runs for days neither leaves
/// zombies nor makes its main thread wait.
class ChildReaper {
  public:
    ChildReaper();
    /// Stops watching; children still running are left to be re-parented when this process ends.
    ~ChildReaper();
    ChildReaper(const ChildReaper&) = delete;
    ChildReaper& operator=(const ChildReaper&) = delete;

    /// Takes `pid`, a child of this process that has not been reaped, to reap once it ends.
    void adopt(pid_t pid);
    /// How many adopted children have not been reaped yet.
    std::size_t watching();

  private:
    struct Watched {
        pid_t pid;
        int pidfd;
    };
    void work();

    int wake_ = -1;
    std::mutex lock_;
    std::vector<Watched> children_;
    bool stopping_ = false;
    std::thread thread_;
};
