// Where a request runs.  The heartbeat is answered on the loop while its
// peer's socket takes the reply at once; every other request, and a
// heartbeat whose peer has stopped reading, runs beside it, so that no
// connection's peer, file or host call holds any other connection.  While a connection's request runs, the
// connection is not read: its requests are still served one at a time, in
// order, and frames pipelined behind a running request wait for it.
#include <thread>

#include "client/core/agent.hpp"
#include "client/core/operations.hpp"
#include "common/errors.hpp"

namespace vemo {

bool Agent::on_loop_thread() const {
    return loop_thread_ == std::thread::id() || loop_thread_ == std::this_thread::get_id();
}

void Agent::start_request(Connection& conn, int fd, int type, std::string&& payload) {
    if ((type == kHeartbeat && conn.stream.writable_now()) || !host_work_) {
        serve_request(fd, type, std::move(payload));
        if (!conn.closed()) table.buffered.insert(fd);
        return;
    }
    conn.busy = true;
    selector().watch(fd, false, false);
    JobQueue& queue = kOperations[type].host_code ? *host_work_ : *file_work_;
    Finished& finished = py::cast<Finished&>(finished_);
    queue.post([this, fd, type, payload = std::move(payload), &finished]() mutable {
        {
            py::gil_scoped_acquire gil;
            serve_request(fd, type, std::move(payload));
        }
        finished.add(fd);
    });
}

// One request, on whichever thread runs it.  An interrupt or exit raised
// inside it (a plugin's sys.exit()) ends the loop, as it always has.
void Agent::serve_request(int fd, int type, std::string&& payload) {
    operation_ = "on_read";
    try {
        try {
            dispatch(fd, type, std::move(payload));
        } catch (py::error_already_set&) {
            throw;
        } catch (const std::exception&) {
            throw current_as_python();
        }
    } catch (py::error_already_set& e) {
        if (is_interrupt(e)) {
            if (on_loop_thread()) throw;
            py::cast<Finished&>(finished_).stop_loop();
            return;
        }
        py::error_already_set report = with_native_frame(e, "on_read");
        failure_path(fd, report);
    }
}

void Agent::on_finished(const py::object& finished_obj, const py::object&) {
    Finished& finished = py::cast<Finished&>(finished_obj);
    for (const int fd : finished.take()) {
        if (!table.contains(fd)) continue;
        const std::shared_ptr<Connection> conn = connection(fd);
        conn->busy = false;
        if (conn->stream.hung_up() || conn->closed()) {
            on_close(fd);
            continue;
        }
        table.touch(fd);
        selector().watch(fd, true, false);
        // Frames the peer pipelined behind the request may be in TLS's hands.
        table.buffered.insert(fd);
    }
    if (finished.stop_requested()) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw py::error_already_set();
    }
}

void Agent::stop_requests() {
    if (!host_work_) return;
    for (const auto& item : table.connections) {
        const auto conn = py::cast<std::shared_ptr<Connection>>(item.second);
        if (conn->busy) conn->stream.hang_up();
    }
    py::gil_scoped_release nogil;
    host_work_->stop();
    file_work_->stop();
}

}  // namespace vemo
