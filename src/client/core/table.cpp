#include "client/core/table.hpp"

#include <algorithm>
#include <vector>

#include "client/core/agent.hpp"
#include "client/core/selector.hpp"

namespace vemo {

py::object ConnectionTable::add(const std::shared_ptr<Connection>& conn, const std::string& address,
                                int port) {
    const py::int_ key(conn->fileno());
    // A key put there by hand for a number not in use must not reach the
    // peer that now holds the number.
    if (passwords.contains(key)) PyDict_DelItem(passwords.ptr(), key.ptr());
    const py::object conn_obj = py::cast(conn);
    connections[key] = conn_obj;
    addresses[key] = py::make_tuple(address, port);
    timeouts[key] = wall_time();
    unkeyed.push_back({conn->fileno(), address});
    return conn_obj;
}

std::shared_ptr<Connection> ConnectionTable::at(int fd) const {
    return py::cast<std::shared_ptr<Connection>>(connections[py::int_(fd)]);
}

void ConnectionTable::touch(int fd) {
    timeouts[py::int_(fd)] = wall_time();
}

void ConnectionTable::leave_unkeyed(int fd) {
    const auto at =
        std::find_if(unkeyed.begin(), unkeyed.end(), [fd](const Unkeyed& u) { return u.fd == fd; });
    if (at != unkeyed.end()) unkeyed.erase(at);
}

void ConnectionTable::forget(int fd) {
    const py::int_ key(fd);
    py::object conn = py::none();
    if (connections.contains(key)) {
        conn = connections[key];
        auto* native = py::isinstance<Connection>(conn) ? &py::cast<Connection&>(conn) : nullptr;
        if (native && native->busy) {
            native->stream.hang_up();
            return;
        }
    }
    leave_unkeyed(fd);
    partial.erase(fd);
    buffered.erase(fd);
    for (py::dict* table : {&connections, &addresses, &passwords, &timeouts})
        if (table->contains(key)) PyDict_DelItem(table->ptr(), key.ptr());
    if (conn.is_none()) return;
    // By number: a connection closed by hand no longer knows its own.
    if (!selector_.is_none()) py::cast<Selector&>(selector_).drop(fd);
    try {
        conn.attr("close")();
    } catch (py::error_already_set&) {
        // Tear-down goes ahead whatever the peer did.
    }
}

void ConnectionTable::forget_all() {
    std::vector<int> fds;
    for (const auto& item : connections) {
        if (!py::isinstance<py::int_>(item.first)) continue;
        if (py::isinstance<Connection>(item.second)) py::cast<Connection&>(item.second).busy = false;
        fds.push_back(py::cast<int>(item.first));
    }
    for (const int fd : fds) forget(fd);
    // Whatever Python put in the tables by hand.
    for (py::dict* table : {&connections, &addresses, &passwords, &timeouts}) table->clear();
    unkeyed.clear();
    partial.clear();
    buffered.clear();
}

}  // namespace vemo
