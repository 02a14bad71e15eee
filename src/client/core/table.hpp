// Every connection the agent holds, and all that is kept about each, under
// one owner.  Python sees four tables keyed by descriptor number
// (`connections`, `addresses`, `passwords`, `timeouts`); the loop's own
// bookkeeping sits beside them.  A connection leaves through forget()
// alone, which leaves nothing of it behind in any of them.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <unordered_set>

#include "client/core/connection.hpp"
#include "common/pybind.hpp"

namespace vemo {

class ConnectionTable {
public:
    // `selector` is where the agent keeps its Selector (None until the
    // loop is set up); it must outlive the table.
    explicit ConnectionTable(const py::object& selector) : selector_(selector) {}

    py::dict connections, addresses, passwords, timeouts;
    // Connections whose TLS layer may hold a whole frame already.
    std::unordered_set<int> buffered;
    // Keyed connections holding part of a frame, watched for stalls.
    std::unordered_set<int> partial;
    // Connections without a key and their peers' addresses, oldest first.
    struct Unkeyed {
        int fd;
        std::string address;
    };
    std::deque<Unkeyed> unkeyed;

    // A new connection joins the tables, without a key and not yet
    // watched; the object Python sees it as is returned.
    py::object add(const std::shared_ptr<Connection>& conn, const std::string& address, int port);
    bool contains(int fd) const { return connections.contains(py::int_(fd)); }
    // The connection on `fd`: whoever holds it across a release of the
    // interpreter lock keeps it alive, whatever becomes of the table.
    std::shared_ptr<Connection> at(int fd) const;
    void touch(int fd);
    // It has its key, or is gone: it no longer counts among the unkeyed.
    void leave_unkeyed(int fd);
    // The connection on `fd` is unwatched, closed and dropped from every
    // table and set.  A connection whose request is running is only hung
    // up: it is forgotten when the request has ended.  Loop thread only,
    // so that no descriptor number is reused under a running request.
    void forget(int fd);
    // Every connection, once no request runs any more.
    void forget_all();

private:
    const py::object& selector_;
};

}  // namespace vemo
