// The agent object: the listener, the selector, the per-connection tables
// and the worker registry, and every operation the master can reach.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "client/core/connection.hpp"
#include "client/core/jobs.hpp"
#include "client/core/listener.hpp"
#include "client/core/selector.hpp"
#include "client/core/spare.hpp"
#include "client/core/table.hpp"
#include "common/pybind.hpp"

namespace vemo {

class Agent {
public:
    Agent();

    py::object epoll = py::none(), s = py::none(), rsa_aes = py::none();
    // Every connection and all that is kept about it; Python sees its four
    // tables as the agent's `connections`, `addresses`, `passwords` and
    // `timeouts`.
    ConnectionTable table{epoll};
    py::object context = py::none(), threads = py::none();

    // Bounds on what a peer may leave hanging (seconds).
    double handshake_timeout = 10.0;
    double io_timeout = 30.0;
    // Connections that have not completed the key exchange, at once; past
    // it the oldest of the peer address holding the most of them goes.  Each has handshake_timeout plus a few
    // seconds in all, from accept to its key.
    int max_unkeyed = 256;
    // Largest keyed request frame, and largest payload once decompressed.
    int64_t max_frame = int64_t{64} << 20;
    int64_t max_payload = int64_t{256} << 20;
    // Largest reply text a directory listing may make.
    int64_t max_reply = int64_t{64} << 20;

    // Listener and loop.
    void run();
    void listen_event();
    void on_accept(const py::object& sock, const py::object& mask);
    // The idle sweep.
    void clean_fd();
    // Every way a connection goes: off the loop it is only hung up, and the
    // loop forgets it once the request that hung it up has ended.
    void on_close(int fd);

    // Frames.
    void on_read(const py::object& conn, const py::object& mask);
    // Requests that ended beside the loop, handed back to it.
    void on_finished(const py::object& finished, const py::object& mask);

    // Session keys and sealing.
    void on_password(int fd, const py::bytes& data);
    py::bytes gzip(const py::bytes& data);
    py::bytes ungzip(const py::bytes& data);
    py::bytes aes_encode(int fd, const py::bytes& data);
    py::bytes aes_decode(int fd, const py::bytes& data);
    py::object get_input(int fd, const py::bytes& data);

    // Replies.
    void send(int fd, py::object data, bool aes_to = true);
    bool _error(int fd, const py::object& msg, bool to_aes = true);
    bool _success(int fd, const py::object& msg, bool to_aes = true);

    // Key material.
    bool create_ssl();
    void secure_key_material();

    // The Python object wrapping this agent, for calls by operation name.
    py::object self();
    // A class attribute as text (`_cert`, `_key`).
    static std::string class_attr_text(const char* name);
    // The connection on `fd`, shared with the `connections` table.
    std::shared_ptr<Connection> connection(int fd) { return table.at(fd); }
    // What `epoll` and `s` hold once run() has set them up.
    Selector& selector();
    Listener& listener();

private:
    void failure_path(int fd, py::error_already_set& error);
    void serve_buffered();
    void read_keyed(Connection& conn, int fd);
    void sweep_stalled();
    // Requests: the heartbeat on the loop, everything else beside it.
    void start_request(Connection& conn, int fd, int type, std::string&& payload);
    void serve_request(int fd, int type, std::string&& payload);
    void dispatch(int fd, int type, std::string&& payload);
    bool on_loop_thread() const;
    // Hangs up every connection whose request is running and waits for the
    // requests to end.
    void stop_requests();
    void refuse_request(int fd, const std::string& why);
    std::string peer_text(int fd);

    // Peers without the key: their budget, their number, and what is left
    // to do when descriptors run out.
    void admit(Accepted&& accepted, Listener& listener);
    // Past max_unkeyed connections without a key, one goes.
    void evict_past_bound();
    int eviction_candidate() const;
    bool advance_unkeyed(Connection& conn);
    void serve_key_exchange(Connection& conn);
    void report_unkeyed_failure(int fd, const std::string& what);
    void note_keyed(int fd);
    void sweep_unkeyed();
    void relieve_descriptor_pressure(Listener& listener);

    // The operation of the request being served on this thread, for the log.
    static thread_local const char* operation_;
    // Requests beside the loop: the host's code on one thread, file work
    // on a pool; what ended comes back through `finished_`.
    std::unique_ptr<JobQueue> host_work_, file_work_;
    py::object finished_ = py::none();
    std::thread::id loop_thread_;
    double pressure_reported_ = 0.0;
    int refused_since_report_ = 0;
    double unkeyed_reported_ = 0.0;
    int unkeyed_failures_ = 0;
    // For the crypto helper to read the private key with, however many
    // connections hold descriptors.
    SpareDescriptor key_spare_;
};

void bind_agent(py::module_& m);

// Seconds since the epoch, as a float (the timeouts table's unit).
double wall_time();

// From here on SIGTERM ends the loop as an interrupt does (main thread only).
void end_loop_on_termination();

}  // namespace vemo
