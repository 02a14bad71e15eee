// Work split over a few threads, joined before returning.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace vemo {

// Processors to spread work over.  Asking the library reads a file under
// /sys every time, so the answer is kept.
inline size_t processor_count() {
    static const size_t count = std::max(1u, std::thread::hardware_concurrency());
    return count;
}

// Calls work(0) here and work(1) ... work(count - 1) on threads of their
// own, and returns when all are done.  An exception thrown on any of them
// is rethrown here (the first by index), so that it takes the caller's
// failure path instead of ending the process.
template <class Work>
void run_in_threads(size_t count, Work&& work) {
    std::vector<std::exception_ptr> failures(count);
    const auto guarded = [&](size_t i) {
        try {
            work(i);
        } catch (...) {
            failures[i] = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(count);
    for (size_t i = 1; i < count; ++i) helpers.emplace_back(guarded, i);
    guarded(0);
    for (auto& helper : helpers) helper.join();
    for (const auto& failure : failures)
        if (failure) std::rethrow_exception(failure);
}

}  // namespace vemo
