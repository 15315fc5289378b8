#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

/// A thread of its own that runs the jobs given to it one at a time, in the order given, so that background
/// work (a verification, a probe) never runs two child processes at once and never blocks the event loop.
class SerialWorker {
  public:
    /// `name` names the thread for debuggers; the system keeps its first 15 bytes.
    explicit SerialWorker(const std::string& name);
    /// Lets the job that runs finish, drops those still queued, and joins the thread.
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    void submit(std::function<void()> job);

  private:
    void work();

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};
