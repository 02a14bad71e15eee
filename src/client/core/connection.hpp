// An accepted TLS connection, the value type of the agent's `connections`
// table.  Python sees it as an object with fileno() and close().
#pragma once

#include <chrono>

#include "client/core/inbound.hpp"
#include "common/pybind.hpp"
#include "common/tls.hpp"

namespace vemo {

class Connection {
public:
    // Where the connection stands on its way to a session key.  Until it has
    // one, the loop advances it only as far as the bytes that have arrived
    // take it, and never waits on it.
    enum class Phase { handshake, key_exchange, keyed };

    Connection(FileDescriptor fd, SSL_CTX* ctx) : stream(std::move(fd), ctx) {}
    int fileno() const { return stream.fd(); }
    bool closed() const { return stream.closed(); }
    void close() { stream.close(); }

    TlsStream stream;
    Phase phase = Phase::handshake;
    // The frame being read, as far as it has come.
    InboundFrame inbound;
    // A request of this connection runs beside the loop: the connection is
    // not read, swept or closed by the loop until it ends.
    bool busy = false;
    std::chrono::steady_clock::time_point handshake_by;
};

void bind_connection(py::module_& m);

}  // namespace vemo
