#include "client/core/selector.hpp"

#include <sys/epoll.h>

#include <cerrno>

#include "common/errors.hpp"

namespace vemo {
namespace {

int fd_of(const py::object& fileobj) {
    return py::cast<int>(fileobj.attr("fileno")());
}

}  // namespace

Selector::Selector() : epfd_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (!epfd_.valid()) throw IoError(errno);
}

void Selector::register_(const py::object& fileobj, const py::object& data) {
    const int fd = fd_of(fileobj);
    if (fd < 0) throw py::value_error("Invalid file descriptor: " + std::to_string(fd));
    if (registrations_.count(fd)) throw py::key_error(std::to_string(fd) + " is already registered");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (::epoll_ctl(epfd_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) throw IoError(errno);
    registrations_.emplace(fd, Registration{fileobj, data});
}

void Selector::unregister(const py::object& fileobj) {
    const int fd = fd_of(fileobj);
    if (!registrations_.count(fd)) throw py::key_error(std::to_string(fd) + " is not registered");
    drop(fd);
}

void Selector::drop(int fd) {
    const auto it = registrations_.find(fd);
    if (it == registrations_.end()) return;
    ::epoll_ctl(epfd_.get(), EPOLL_CTL_DEL, fd, nullptr);
    registrations_.erase(it);
}

void Selector::watch(int fd, bool reads, bool writes) {
    epoll_event ev{};
    ev.events = (reads ? EPOLLIN : 0u) | (writes ? EPOLLOUT : 0u);
    ev.data.fd = fd;
    if (::epoll_ctl(epfd_.get(), EPOLL_CTL_MOD, fd, &ev) != 0) throw IoError(errno);
}

const Registration* Selector::find(int fd) const {
    auto it = registrations_.find(fd);
    return it == registrations_.end() ? nullptr : &it->second;
}

std::vector<std::pair<int, uint32_t>> Selector::wait(int timeout_ms) {
    epoll_event events[64];
    int n;
    {
        py::gil_scoped_release nogil;
        n = ::epoll_wait(epfd_.get(), events, 64, timeout_ms);
    }
    if (n < 0 && errno != EINTR) throw IoError(errno);
    std::vector<std::pair<int, uint32_t>> ready;
    for (int i = 0; i < n; ++i)
        ready.emplace_back(static_cast<int>(events[i].data.fd), static_cast<uint32_t>(events[i].events));
    return ready;
}

void bind_selector(py::module_& m) {
    py::class_<Selector>(m, "Selector")
        .def("register", &Selector::register_, py::arg("fileobj"), py::arg("data"))
        .def("unregister", &Selector::unregister, py::arg("fileobj"))
        .def("fileno", &Selector::fileno)
        .def("__len__", &Selector::size);
}

}  // namespace vemo
