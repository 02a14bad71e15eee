// A connection on its way to a session key: the TLS handshake and the
// key-exchange frame, each advanced as far as the bytes that have arrived
// take it.  The loop never waits on a peer that has no key.
#include <cerrno>
#include <cstdint>
#include <string>

#include "client/core/agent.hpp"
#include "client/core/operations.hpp"
#include "common/errors.hpp"

namespace vemo {
namespace {

// No RSA key a master could use yields a larger ciphertext (8192 bits).
constexpr int32_t kMaxKeyExchange = 1024;
// Port checks and scanners fail their handshakes by the thousand: one line
// when the first does, then at most one a minute, with the count between.
constexpr double kReportEvery = 60.0;

using Phase = Connection::Phase;
using Progress = InboundFrame::Progress;

bool hung_up_early(const std::exception& e) {
    const auto* io = dynamic_cast<const IoError*>(&e);
    return io && (io->code == ECONNRESET || io->code == EPIPE);
}

}  // namespace

void Agent::report_unkeyed_failure(int fd, const std::string& what) {
    ++unkeyed_failures_;
    const double now = wall_time();
    if (now - unkeyed_reported_ < kReportEvery) return;
    std::string line = "before the key, " + peer_text(fd) + ": " + what;
    if (unkeyed_failures_ > 1)
        line += " (" + std::to_string(unkeyed_failures_ - 1) + " more such since the last report)";
    unkeyed_reported_ = now;
    unkeyed_failures_ = 0;
    py::print(line, py::arg("flush") = true);
}

// False when the connection went: it failed, ended, or sent anything but a
// key-exchange frame of plausible size.
bool Agent::advance_unkeyed(Connection& conn) {
    const int fd = conn.fileno();
    try {
        if (conn.phase == Phase::handshake) {
            const bool done = conn.stream.handshake_step();
            selector().watch(fd, true, conn.stream.wants_write());
            if (!done) return true;
            conn.phase = Phase::key_exchange;
        }
        for (;;) {
            const Progress progress = conn.inbound.advance(conn.stream);
            if (progress == Progress::waiting) return true;
            if (progress == Progress::whole) break;
            if (progress == Progress::ended) {
                on_close(fd);
                return false;
            }
            if (conn.inbound.type() != kKeyExchange || conn.inbound.length() > kMaxKeyExchange) {
                on_close(fd);
                return false;
            }
        }
    } catch (const std::exception& e) {
        // A peer that merely hung up (a port check) is not worth a line.
        if (!hung_up_early(e))
            report_unkeyed_failure(
                fd, std::string(conn.phase == Phase::handshake ? "TLS handshake failed: " : "") + e.what());
        on_close(fd);
        return false;
    }
    serve_key_exchange(conn);
    return !conn.closed();
}

void Agent::serve_key_exchange(Connection& conn) {
    const int fd = conn.fileno();
    serve_request(fd, kKeyExchange, conn.inbound.take_payload());
    if (conn.closed() || !table.passwords.contains(py::int_(fd))) return;
    conn.phase = Phase::keyed;
    note_keyed(fd);
    // A request sent right behind the key may already be in TLS's hands.
    table.buffered.insert(fd);
}

}  // namespace vemo
