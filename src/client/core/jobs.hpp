// Requests that run beside the loop.  Calls into the host's modules run on
// one thread, one at a time in arrival order, as they always have; file
// work runs on a small pool.  A finished request is handed back to the
// loop through an eventfd the loop's selector watches, so that the loop
// alone re-arms, closes and forgets connections.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "common/fdio.hpp"
#include "common/pybind.hpp"

namespace vemo {

// Threads taking jobs from one queue in order.
class JobQueue {
public:
    explicit JobQueue(int threads);
    ~JobQueue();
    void post(std::function<void()> job);
    // Lets the running jobs end and joins the threads; jobs still queued
    // are dropped.  Called without the interpreter lock.
    void stop();
    // Jobs queued or running.
    size_t pending() const;

private:
    void work();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    std::vector<std::thread> threads_;
    size_t running_ = 0;
    bool stopping_ = false;
};

// The connections whose request ended, for the loop to take back.
class Finished {
public:
    Finished();
    int fileno() const { return event_.get(); }
    void add(int fd);
    std::vector<int> take();
    // An interrupt or exit raised inside a request: the loop ends on it.
    void stop_loop();
    bool stop_requested() const;

private:
    void signal();

    FileDescriptor event_;
    mutable std::mutex mutex_;
    std::vector<int> fds_;
    bool stop_ = false;
};

void bind_jobs(py::module_& m);

}  // namespace vemo
