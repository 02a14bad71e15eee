#include "client/core/jobs.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "common/errors.hpp"

namespace vemo {

JobQueue::JobQueue(int threads) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
}

JobQueue::~JobQueue() {
    stop();
}

void JobQueue::post(std::function<void()> job) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
}

size_t JobQueue::pending() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size() + running_;
}

void JobQueue::stop() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
}

void JobQueue::work() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            job = std::move(queue_.front());
            queue_.pop_front();
            ++running_;
        }
        job();
        const std::lock_guard<std::mutex> lock(mutex_);
        --running_;
    }
}

Finished::Finished() : event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!event_.valid()) throw IoError(errno);
}

void Finished::signal() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(event_.get(), &one, sizeof one);
}

void Finished::add(int fd) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        fds_.push_back(fd);
    }
    signal();
}

void Finished::stop_loop() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    signal();
}

bool Finished::stop_requested() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
}

std::vector<int> Finished::take() {
    uint64_t count;
    [[maybe_unused]] const ssize_t n = ::read(event_.get(), &count, sizeof count);
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(fds_, {});
}

void bind_jobs(py::module_& m) {
    py::class_<Finished>(m, "Finished").def("fileno", &Finished::fileno);
}

}  // namespace vemo
