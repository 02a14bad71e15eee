// What a peer without the key may hold: a budget in time from accept to
// its key, a place among a bounded number of such connections, and no
// claim on the agent when descriptors run out.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "client/core/agent.hpp"

namespace vemo {
namespace {

// With no descriptor to spare at all, the listener stays readable; a short
// pause keeps the loop from spinning on it.
constexpr auto kPressurePause = std::chrono::milliseconds(50);
constexpr double kPressureReportEvery = 60.0;

}  // namespace

void Agent::evict_past_bound() {
    const size_t limit = static_cast<size_t>(std::max(max_unkeyed, 1));
    while (table.unkeyed.size() > limit) on_close(eviction_candidate());
}

// The oldest connection of the address that holds the most places: a
// host that keeps reconnecting only ever displaces itself, never a master
// that arrives from elsewhere in the middle of its key exchange.
int Agent::eviction_candidate() const {
    std::unordered_map<std::string, size_t> held;
    const std::string* heaviest = &table.unkeyed.front().address;
    size_t most = 0;
    for (const ConnectionTable::Unkeyed& u : table.unkeyed) {
        const size_t n = ++held[u.address];
        if (n > most) {
            most = n;
            heaviest = &u.address;
        }
    }
    for (const ConnectionTable::Unkeyed& u : table.unkeyed)
        if (u.address == *heaviest) return u.fd;
    return table.unkeyed.front().fd;
}

void Agent::note_keyed(int fd) {
    if (!table.passwords.contains(py::int_(fd))) return;
    connection(fd)->stream.lift_limit();
    table.leave_unkeyed(fd);
}

// A connection goes when its handshake is not done within the handshake's
// bound, or it has no key when its whole budget ends.
void Agent::sweep_unkeyed() {
    const auto now = std::chrono::steady_clock::now();
    std::vector<int> expired;
    for (const ConnectionTable::Unkeyed& u : table.unkeyed) {
        const int fd = u.fd;
        if (!table.contains(fd)) {
            expired.push_back(fd);
            continue;
        }
        const std::shared_ptr<Connection> conn = connection(fd);
        const bool shaking = conn->phase == Connection::Phase::handshake;
        if (conn->stream.past_limit() || (shaking && now >= conn->handshake_by)) expired.push_back(fd);
    }
    for (const int fd : expired) {
        if (table.contains(fd)) {
            const bool shaking = connection(fd)->phase == Connection::Phase::handshake;
            report_unkeyed_failure(
                fd, shaking ? "TLS handshake timed out" : "timed out waiting for the key exchange");
        }
        on_close(fd);
    }
}

// Out of descriptors: a connection without a key gives its descriptor up
// first, so that keyed masters can still get in; with none to give up, the
// pending connection is refused.  Reported at most once a minute.
void Agent::relieve_descriptor_pressure(Listener& listener) {
    if (!table.unkeyed.empty()) {
        on_close(eviction_candidate());
    } else if (!listener.refuse_one()) {
        py::gil_scoped_release nogil;
        std::this_thread::sleep_for(kPressurePause);
    } else {
        ++refused_since_report_;
    }
    const double now = wall_time();
    if (now - pressure_reported_ < kPressureReportEvery) return;
    pressure_reported_ = now;
    py::print("accept: out of descriptors; connections refused since the last report: " +
                  std::to_string(refused_since_report_),
              py::arg("flush") = true);
    refused_since_report_ = 0;
}

}  // namespace vemo
