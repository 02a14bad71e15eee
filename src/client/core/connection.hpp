// An accepted TLS connection, the value type of the agent's `connections`
// table.  Python sees it as an object with fileno() and close().
#pragma once

#include "common/pybind.hpp"
#include "common/tls.hpp"

namespace vemo {

class Connection {
public:
    Connection(FileDescriptor fd, SSL_CTX* ctx) : stream(std::move(fd), ctx) {}
    int fileno() const { return stream.fd(); }
    bool closed() const { return stream.closed(); }
    void close() { stream.close(); }

    TlsStream stream;
};

void bind_connection(py::module_& m);

}  // namespace vemo
