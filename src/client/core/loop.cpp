// Bringing the agent on line and the single-threaded readiness loop.
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <string>
#include <unordered_set>
#include <utility>

#include "client/core/agent.hpp"
#include "common/errors.hpp"
#include "common/paths.hpp"
#include "common/host.hpp"

namespace vemo {
namespace {

// File work beside the loop runs on this many threads.
constexpr int kFileThreads = 4;
// Connections the kernel completes while the loop is busy wait here; a
// queue of one would let a single silent peer keep every master out.
constexpr int kListenBacklog = 511;
// Connections taken off the queue per readiness of the listener, so that
// a burst of masters does not wait one loop turn each.
constexpr int kAcceptsPerTurn = 64;
constexpr double kIdleLimit = 3600.0;
// The selector wait is cut into turns so that an interrupt of the process
// is noticed even when the signal lands on a worker thread, and so that
// connections without a key are swept when their budget ends.
constexpr int kTurnMs = 200;
// From accept to a completed key exchange, a peer has the handshake's
// bound plus this, however slowly it trickles its bytes.
constexpr double kKeyExchangeGrace = 5.0;

int read_port() {
    py::object text = host::panel().read_file("data/port.pl");
    if (!py::isinstance<py::str>(text) && !py::isinstance<py::bytes>(text))
        throw IoError(ENOENT, "data/port.pl");
    return py::cast<int>(py::int_(text));
}

// A failed accept is logged; a log line that cannot be made is not worth
// the loop.
void report_accept_failure(py::error_already_set& e, const std::string& peer) {
    try {
        py::print("accept from " + peer + " failed:", py::arg("flush") = true);
        py::print(host::panel().error_info(e), py::arg("flush") = true);
    } catch (py::error_already_set& inner) {
        if (is_interrupt(inner)) throw;
    }
}

}  // namespace

void Agent::run() {
    threads = py::module_::import("warden").attr("warden")();
    threads.attr("run")();

    auto tls = std::make_shared<TlsContext>();
    context = py::cast(tls);
    tls->load(class_attr_text("_cert"), class_attr_text("_key"));

    s = py::cast(std::make_unique<Listener>());
    const int port = read_port();
    listener().bind_and_listen("0.0.0.0", port, kListenBacklog);
    listener().wrap(tls);

    epoll = py::cast(std::make_unique<Selector>());
    selector().register_(s, self().attr("on_accept"));
    loop_thread_ = std::this_thread::get_id();
    host_work_ = std::make_unique<JobQueue>(1);
    file_work_ = std::make_unique<JobQueue>(kFileThreads);
    finished_ = py::cast(std::make_unique<Finished>());
    selector().register_(finished_, self().attr("on_finished"));
    py::print("listening on 0.0.0.0:" + std::to_string(port) + ", certificate SHA-256 " + tls->fingerprint() +
                  ", key for masters in " + paths::install_dir() + "/data/id_rsa.pub",
              py::arg("flush") = true);
    listen_event();
}

void Agent::listen_event() {
    end_loop_on_termination();
    try {
        Selector& waiting = selector();
        for (;;) {
            const auto ready = waiting.wait(table.buffered.empty() ? kTurnMs : 0);
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            for (const auto& [fd, mask] : ready) {
                table.buffered.erase(fd);
                const Registration* reg = waiting.find(fd);
                if (!reg) continue;  // closed by an earlier event of this turn
                const py::object fileobj = reg->fileobj, operation = reg->data;
                operation(fileobj, mask);
            }
            serve_buffered();
            sweep_unkeyed();
            sweep_stalled();
        }
    } catch (...) {
        stop_requests();
        table.forget_all();
        py::print("exit service", py::arg("flush") = true);
    }
}

// Frames that TLS has already taken off the socket are invisible to epoll.
void Agent::serve_buffered() {
    const std::unordered_set<int> candidates = std::move(table.buffered);
    table.buffered.clear();
    for (int fd : candidates) {
        const Registration* reg = selector().find(fd);
        if (!reg || !table.contains(fd)) continue;
        if (!connection(fd)->stream.has_buffered()) continue;
        const py::object fileobj = reg->fileobj, operation = reg->data;
        operation(fileobj, 1);
    }
}

void Agent::on_accept(const py::object& sock, const py::object&) {
    Listener& listener = py::cast<Listener&>(sock);
    for (int i = 0; i < kAcceptsPerTurn; ++i) {
        std::optional<Accepted> accepted;
        try {
            accepted = listener.accept();
        } catch (const IoError& e) {
            if (e.code != EMFILE && e.code != ENFILE) {
                py::error_already_set report = current_as_python();
                report_accept_failure(report, "a new peer");
                return;
            }
            relieve_descriptor_pressure(listener);
            return;
        }
        if (!accepted) return;
        admit(std::move(*accepted), listener);
    }
}

// The connection joins the tables at once; its handshake advances as its
// bytes arrive (advance_unkeyed), inside the budget set here.
void Agent::admit(Accepted&& accepted, Listener& listener) {
    const std::string peer_text = accepted.address + ":" + std::to_string(accepted.port);
    try {
        auto conn = std::make_shared<Connection>(std::move(accepted.fd), listener.tls());
        conn->stream.limit_to(handshake_timeout + kKeyExchangeGrace);
        conn->handshake_by = std::chrono::steady_clock::now() +
                             std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(handshake_timeout));
        const py::object conn_obj = table.add(conn, accepted.address, accepted.port);
        selector().register_(conn_obj, self().attr("on_read"));
        evict_past_bound();
        clean_fd();
    } catch (py::error_already_set& e) {
        if (is_interrupt(e)) throw;
        report_accept_failure(e, peer_text);
    } catch (const std::exception&) {
        py::error_already_set e = current_as_python();
        report_accept_failure(e, peer_text);
    }
}

void Agent::clean_fd() {
    const double t = wall_time();
    const py::list keys(table.timeouts.attr("keys")());
    for (const py::handle i : keys) {
        if (t - py::cast<double>(table.timeouts[i]) < kIdleLimit) continue;
        // A connection whose request runs is not idle, however long it takes.
        if (table.contains(py::cast<int>(i)) && connection(py::cast<int>(i))->busy) continue;
        table.forget(py::cast<int>(i));
    }
}

// Only the loop closes and edits the tables: elsewhere the connection is
// hung up, and the loop forgets it when the request that hung it up has
// ended.
void Agent::on_close(int fd) {
    if (on_loop_thread()) {
        table.forget(fd);
    } else if (table.contains(fd)) {
        connection(fd)->stream.hang_up();
    }
}

}  // namespace vemo
