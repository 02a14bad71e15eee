#include "client/core/listener.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "common/errors.hpp"

namespace vemo {
namespace {

constexpr int kSendBuffer = 262144;

int open_reserve() {
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

}  // namespace

Listener::Listener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (!fd_.valid()) throw IoError(errno);
    const int one = 1;
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer) != 0)
        throw IoError(errno);
    reserve_.reset(open_reserve());
}

bool Listener::refuse_one() {
    if (!reserve_.valid()) reserve_.reset(open_reserve());
    if (!reserve_.valid()) return false;
    reserve_.reset();
    const FileDescriptor refused(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    reserve_.reset(open_reserve());
    return refused.valid();
}

void Listener::bind_and_listen(const std::string& address, int port, int backlog) {
    if (port < 0 || port > 65535) throw py::value_error("port must be 0-65535.");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) throw IoError(EINVAL);
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) throw IoError(errno);
    if (::listen(fd_.get(), backlog) != 0) throw IoError(errno);
    // Readiness comes from the selector; accept must never wait.
    ::fcntl(fd_.get(), F_SETFL, ::fcntl(fd_.get(), F_GETFL) | O_NONBLOCK);
}

std::optional<Accepted> Listener::accept() {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    const int fd = ::accept4(fd_.get(), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR)
            return std::nullopt;
        throw IoError(errno);
    }
    // Every reply leaves in one write; held back by Nagle behind the TLS
    // session tickets, the key exchange's answer waited for a delayed ACK
    // (40 ms on every new connection).
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char text[INET_ADDRSTRLEN] = {0};
    ::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
    return Accepted{FileDescriptor(fd), text, static_cast<int>(ntohs(sa.sin_port))};
}

void bind_listener(py::module_& m) {
    py::class_<TlsContext, std::shared_ptr<TlsContext>>(m, "TlsContext");
    py::class_<Listener>(m, "Listener")
        .def("fileno", &Listener::fileno)
        .def("getsockname", [](const Listener& l) {
            sockaddr_in sa{};
            socklen_t len = sizeof sa;
            ::getsockname(l.fileno(), reinterpret_cast<sockaddr*>(&sa), &len);
            char text[INET_ADDRSTRLEN] = {0};
            ::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
            return py::make_tuple(std::string(text), ntohs(sa.sin_port));
        });
}

}  // namespace vemo
