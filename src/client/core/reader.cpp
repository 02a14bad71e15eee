// Reading request frames by readiness and handing each to the operation its
// type names.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "client/core/agent.hpp"
#include "client/core/operations.hpp"
#include "client/messages.hpp"
#include "common/errors.hpp"
#include "common/host.hpp"

namespace vemo {
namespace {

// A peer that went away mid-request, known by the error's type: a message
// that merely quotes such words (a file named "Broken pipe") is a failure
// like any other.
bool peer_vanished(py::error_already_set& e) {
    return e.matches(PyExc_BrokenPipeError) || e.matches(PyExc_ConnectionResetError);
}

}  // namespace

thread_local const char* Agent::operation_ = "on_read";

void Agent::on_read(const py::object& conn_obj, const py::object&) {
    Connection& conn = py::cast<Connection&>(conn_obj);
    const int fd = conn.fileno();
    operation_ = "on_read";
    table.touch(fd);
    if (conn.busy) return;
    if (conn.phase != Connection::Phase::keyed) {
        advance_unkeyed(conn);
        return;
    }
    read_keyed(conn, fd);
}

// The connection's next frame, as far as its bytes have come; a whole one
// starts its request.  A frame of a type the agent does not know is read
// and dropped.  A read that failed inside a frame leaves the stream out of
// step: what the peer sends next would be taken from the middle of a
// frame, so the connection goes, and the failure takes the failure path.
void Agent::read_keyed(Connection& conn, int fd) {
    for (;;) {
        InboundFrame::Progress progress;
        try {
            progress = conn.inbound.advance(conn.stream);
        } catch (const std::exception&) {
            py::error_already_set error = current_as_python();
            on_close(fd);
            py::error_already_set report = with_native_frame(error, "on_read");
            failure_path(fd, report);
            return;
        }
        if (progress == InboundFrame::Progress::waiting) {
            if (conn.inbound.partial()) table.partial.insert(fd);
            return;
        }
        table.partial.erase(fd);
        if (progress == InboundFrame::Progress::ended) {
            on_close(fd);
            return;
        }
        const int type = conn.inbound.type();
        if (progress == InboundFrame::Progress::header) {
            const int32_t length = conn.inbound.length();
            if (length > max_frame) {
                // The payload stays unread, so the stream cannot be kept in step.
                refuse_request(fd, "request frame of " + std::to_string(length) +
                                       " bytes exceeds the agent's max_frame of " +
                                       std::to_string(max_frame));
                on_close(fd);
                return;
            }
            continue;
        }
        std::string payload = conn.inbound.take_payload();
        if (type < 0 || type >= kTypeCount) continue;
        start_request(conn, fd, type, std::move(payload));
        return;
    }
}

// A frame begun and not finished within the per-wait bound: the peer
// stalled inside it, which ends the connection as a stalled read always has.
void Agent::sweep_stalled() {
    if (table.partial.empty()) return;
    const auto now = std::chrono::steady_clock::now();
    const auto bound = std::chrono::duration<double>(io_timeout);
    std::vector<int> stalled;
    for (const int fd : table.partial) {
        if (!table.contains(fd)) {
            stalled.push_back(fd);
            continue;
        }
        if (now - connection(fd)->inbound.last_progress() >= bound) stalled.push_back(fd);
    }
    for (const int fd : stalled) {
        if (!table.contains(fd)) {
            table.forget(fd);
            continue;
        }
        on_close(fd);
        operation_ = "on_read";
        PyErr_SetString(PyExc_TimeoutError, "timed out");
        py::error_already_set error;
        py::error_already_set report = with_native_frame(error, "on_read");
        failure_path(fd, report);
    }
}

void Agent::refuse_request(int fd, const std::string& why) {
    PyErr_SetString(PyExc_ValueError, why.c_str());
    py::error_already_set error;
    py::error_already_set report = with_native_frame(error, "on_read");
    failure_path(fd, report);
}

void Agent::dispatch(int fd, int type, std::string&& payload) {
    const char* const name = kOperations[type].name;
    operation_ = name;
    if (type == kHeartbeat) {
        send(fd, py::int_(1));
        return;
    }
    py::object operation = self().attr(name);
    try {
        operation(fd, py::bytes(payload));
    } catch (py::error_already_set& e) {
        throw with_native_frame(e, name);
    }
}

// "address:port" of the peer on `fd`, for the log.
std::string Agent::peer_text(int fd) {
    const py::int_ key(fd);
    if (!table.addresses.contains(key)) return "fd " + std::to_string(fd);
    const py::object address = table.addresses[key];
    if (!py::isinstance<py::tuple>(address) || py::len(address) != 2) return printable_text(address);
    return printable_text(address[py::int_(0)]) + ":" + printable_text(address[py::int_(1)]);
}

// Nothing here may stop the loop: a report that cannot be made or sent
// costs the connection, never the agent.
void Agent::failure_path(int fd, py::error_already_set& error) {
    try {
        if (peer_vanished(error)) {
            const py::int_ key(fd);
            const std::string peer = table.addresses.contains(key) ? printable_text(table.addresses[key])
                                                                   : "fd " + std::to_string(fd);
            py::print(messages::peer_vanished(peer), py::arg("flush") = true);
            return;
        }
        if (operation_ == kOperations[kKeyExchange].name && !table.passwords.contains(py::int_(fd))) {
            // Nothing can be sealed for this peer: one line, and it goes.
            py::print("key exchange from " + peer_text(fd) + " failed: " + error_line(error),
                      py::arg("flush") = true);
            on_close(fd);
            return;
        }
        py::print(std::string(operation_) + " from " + peer_text(fd) + " failed:", py::arg("flush") = true);
        const host::Public panel;
        py::print(panel.error_info(error), py::arg("flush") = true);
        send(fd, py::str(panel.error_info(error)));
    } catch (py::error_already_set& e) {
        if (is_interrupt(e)) throw;
        on_close(fd);
    } catch (const std::exception&) {
        on_close(fd);
    }
}

}  // namespace vemo
