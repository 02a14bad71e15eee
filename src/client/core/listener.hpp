// The listening TCP socket and the TLS context its connections use.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "common/fdio.hpp"
#include "common/pybind.hpp"
#include "common/tls.hpp"

namespace vemo {

// An accepted socket and its peer.
struct Accepted {
    FileDescriptor fd;
    std::string address;
    int port;
};

class Listener {
public:
    Listener();  // IPv4 stream socket with the agent's socket options

    void bind_and_listen(const std::string& address, int port, int backlog);
    // Server-side TLS for every connection accepted from now on.
    void wrap(std::shared_ptr<TlsContext> context) { context_ = std::move(context); }
    // One pending connection and its peer; nothing when the peer already
    // went away.
    std::optional<Accepted> accept();
    // With the descriptors used up, a pending connection keeps the listener
    // readable: takes it off the queue and closes it at once, through the
    // descriptor held in reserve for this.  False when there was none.
    bool refuse_one();
    SSL_CTX* tls() const { return context_ ? context_->get() : nullptr; }
    int fileno() const { return fd_.get(); }

private:
    FileDescriptor fd_;
    FileDescriptor reserve_;
    std::shared_ptr<TlsContext> context_;
};

void bind_listener(py::module_& m);

}  // namespace vemo
