#include "app/serial_worker.h"

#include <pthread.h>

SerialWorker::SerialWorker(const std::string& name) : thread_([this] { work(); }) {
    constexpr std::size_t longestThreadName = 15;
    pthread_setname_np(thread_.native_handle(), name.substr(0, longestThreadName).c_str());
}

SerialWorker::~SerialWorker() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        jobs_.clear();
    }
    wake_.notify_one();
    thread_.join();
}

void SerialWorker::submit(std::function<void()> job) {
    {
        std::lock_guard guard(lock_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void SerialWorker::work() {
    while (true) {
        std::function<void()> job;
        {
            std::unique_lock guard(lock_);
            wake_.wait(guard, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) {
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}
