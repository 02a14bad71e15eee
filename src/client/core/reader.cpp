// Reading one request frame and handing it to the operation its type names.
#include <cstdint>
#include <cstring>

#include "client/core/agent.hpp"
#include "client/core/operations.hpp"
#include "client/messages.hpp"
#include "common/errors.hpp"

namespace vemo {
namespace {

constexpr size_t kHeaderSize = 5;
constexpr size_t kReadPiece = 256 * 1024;

// A peer that went away mid-request, known by the error's type: a message
// that merely quotes such words (a file named "Broken pipe") is a failure
// like any other.
bool peer_vanished(py::error_already_set& e) {
    return e.matches(PyExc_BrokenPipeError) || e.matches(PyExc_ConnectionResetError);
}

}  // namespace

void Agent::on_read(const py::object& conn_obj, const py::object&) {
    Connection& conn = py::cast<Connection&>(conn_obj);
    const int fd = conn.fileno();
    operation_ = "on_read";
    timeouts[py::int_(fd)] = wall_time();
    if (conn.phase != Connection::Phase::keyed) {
        advance_unkeyed(conn);
        return;
    }
    try {
        try {
            read_frame(conn, fd);
        } catch (py::error_already_set&) {
            throw;
        } catch (const std::exception&) {
            throw current_as_python();
        }
    } catch (py::error_already_set& e) {
        if (is_interrupt(e)) throw;
        py::error_already_set report = with_native_frame(e, "on_read");
        failure_path(fd, report);
    }
    // Whatever became of this request, a frame that TLS already holds is
    // served before the loop waits again.
    if (!conn.closed()) buffered_.insert(fd);
}

// A read that stalled or failed inside a frame leaves the stream out of step:
// what the peer sends next would be taken from the middle of a frame.  The
// connection goes; the failure itself still takes the failure path.
[[noreturn]] void Agent::drop_out_of_step(int fd) {
    on_close(fd);
    throw;
}

// One frame, dispatched; or the connection ended (or was refused) instead.
void Agent::read_frame(Connection& conn, int fd) {
    unsigned char header[kHeaderSize];
    size_t got;
    try {
        py::gil_scoped_release nogil;
        got = conn.stream.read_exact(reinterpret_cast<char*>(header), kHeaderSize, io_timeout);
    } catch (...) {
        drop_out_of_step(fd);
    }
    if (got != kHeaderSize) {
        on_close(fd);
        return;
    }
    int32_t length;
    std::memcpy(&length, header, 4);  // little-endian on every platform this runs on
    const int type = static_cast<int8_t>(header[4]);
    const size_t size = length > 0 ? static_cast<size_t>(length) : 0;

    if (static_cast<int64_t>(size) > max_frame) {
        // The payload stays unread, so the stream cannot be kept in step.
        refuse_request(fd, "request frame of " + std::to_string(size) +
                               " bytes exceeds the agent's max_frame of " + std::to_string(max_frame));
        on_close(fd);
        return;
    }

    std::string payload;
    bool complete = true;
    try {
        py::gil_scoped_release nogil;
        if (type >= 0 && type < kTypeCount) {
            payload.reserve(std::min(size, kReadPiece));
            while (payload.size() < size) {
                const size_t have = payload.size(), want = std::min(kReadPiece, size - have);
                payload.resize(have + want);
                const size_t n = conn.stream.read_some(payload.data() + have, want, io_timeout);
                payload.resize(have + n);
                if (n == 0) break;
            }
            complete = payload.size() == size;
        } else {
            std::string sink(std::min(size, kReadPiece), '\0');
            size_t left = size;
            while (left > 0) {
                const size_t n = conn.stream.read_some(sink.data(), std::min(left, sink.size()), io_timeout);
                if (n == 0) break;
                left -= n;
            }
            complete = left == 0;
        }
    } catch (...) {
        drop_out_of_step(fd);
    }
    if (!complete) {
        on_close(fd);
        return;
    }
    if (type >= 0 && type < kTypeCount) dispatch(fd, type, std::move(payload));
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
    if (!addresses.contains(key)) return "fd " + std::to_string(fd);
    const py::object address = addresses[key];
    if (!py::isinstance<py::tuple>(address) || py::len(address) != 2) return printable_text(address);
    return printable_text(address[py::int_(0)]) + ":" + printable_text(address[py::int_(1)]);
}

// Nothing here may stop the loop: a report that cannot be made or sent
// costs the connection, never the agent.
void Agent::failure_path(int fd, py::error_already_set& error) {
    try {
        if (peer_vanished(error)) {
            const py::int_ key(fd);
            const std::string peer =
                addresses.contains(key) ? printable_text(addresses[key]) : "fd " + std::to_string(fd);
            py::print(messages::peer_vanished(peer), py::arg("flush") = true);
            return;
        }
        if (operation_ == kOperations[kKeyExchange].name && !passwords.contains(py::int_(fd))) {
            // Nothing can be sealed for this peer: one line, and it goes.
            py::print("key exchange from " + peer_text(fd) + " failed: " + error_line(error),
                      py::arg("flush") = true);
            on_close(fd);
            return;
        }
        py::print(std::string(operation_) + " from " + peer_text(fd) + " failed:", py::arg("flush") = true);
        py::print(error_info(error), py::arg("flush") = true);
        send(fd, py::str(error_info(error)));
    } catch (py::error_already_set& e) {
        if (is_interrupt(e)) throw;
        on_close(fd);
    } catch (const std::exception&) {
        on_close(fd);
    }
}

}  // namespace vemo
