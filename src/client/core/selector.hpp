// The readiness selector: epoll, read readiness (and write readiness for a
// descriptor that asks), each registration carrying the operation to call
// when its socket is ready.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/fdio.hpp"
#include "common/pybind.hpp"

namespace vemo {

struct Registration {
    py::object fileobj;
    py::object data;
};

class Selector {
public:
    Selector();

    void register_(const py::object& fileobj, const py::object& data);
    void unregister(const py::object& fileobj);
    // Stops watching `fd`, whatever became of the object registered for
    // it; a number not registered is left alone.
    void drop(int fd);
    // Which readiness of `fd` is reported: none while its request runs
    // beside the loop, writes while its handshake waits to send.
    void watch(int fd, bool reads, bool writes);
    const Registration* find(int fd) const;
    // Waits up to `timeout_ms` with the interpreter lock released; ready
    // descriptors with their masks, in the order epoll reports them.
    std::vector<std::pair<int, uint32_t>> wait(int timeout_ms);
    int fileno() const { return epfd_.get(); }
    size_t size() const { return registrations_.size(); }

private:
    FileDescriptor epfd_;
    std::unordered_map<int, Registration> registrations_;
};

void bind_selector(py::module_& m);

}  // namespace vemo
