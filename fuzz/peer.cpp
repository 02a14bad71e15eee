#include "peer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

SSL_CTX* client_context() {
    static SSL_CTX* ctx = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
        return c;
    }();
    return ctx;
}

constexpr int kSocketWaitMs = 10000;

}  // namespace

// Every connection comes from its own loopback source address and port
// (127.0.x.y, 20000-28999): at hundreds of connections a second, the
// TIME_WAIT entries of one source address would use up its ephemeral
// ports within a minute, and ports taken from the ephemeral range would
// collide with servers (agents under test) that pick a free one there.
static sockaddr_in next_source() {
    static uint32_t n = 0;
    constexpr uint32_t kAddresses = 60000, kPorts = 9000;
    n = (n + 1) % (kAddresses * kPorts);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl((127u << 24) | (256 + n % kAddresses));
    sa.sin_port = htons(static_cast<uint16_t>(20000 + n / kAddresses));
    return sa;
}

// libFuzzer's timer signal can interrupt a connect, which then goes on in
// the background: wait for its outcome.
static bool connected_after_signal(int sock) {
    if (errno != EINTR) return false;
    pollfd p{sock, POLLOUT, 0};
    int rc;
    do rc = ::poll(&p, 1, kSocketWaitMs);
    while (rc < 0 && errno == EINTR);
    int err = rc > 0 ? 0 : ETIMEDOUT;
    socklen_t len = sizeof err;
    if (rc > 0) ::getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len);
    errno = err;
    return err == 0;
}

Peer::Peer(int port) {
    sock_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock_ < 0) throw std::runtime_error(std::string("peer: socket: ") + std::strerror(errno));
    timeval tv{kSocketWaitMs / 1000, 0};
    ::setsockopt(sock_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    ::setsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const int one = 1;
    ::setsockopt(sock_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(sock_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = next_source();
    if (::bind(sock_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        throw std::runtime_error(std::string("peer: bind: ") + std::strerror(errno));
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(sock_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && !connected_after_signal(sock_))
        throw std::runtime_error(std::string("peer: cannot connect: ") + std::strerror(errno));
    socklen_t len = sizeof sa;
    ::getsockname(sock_, reinterpret_cast<sockaddr*>(&sa), &len);
    local_port_ = ntohs(sa.sin_port);
    char text[INET_ADDRSTRLEN] = {0};
    ::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
    local_address_ = text;
    ssl_ = SSL_new(client_context());
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_connect_state(ssl_);
}

Peer::~Peer() {
    SSL_free(ssl_);
    ::close(sock_);
}

void Peer::flush() {
    char buf[16384];
    int n;
    while ((n = BIO_read(out_, buf, sizeof buf)) > 0) {
        for (int done = 0; done < n;) {
            const ssize_t w = ::send(sock_, buf + done, n - done, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return;  // the agent hung up; what it read is what counts
            done += static_cast<int>(w);
        }
    }
}

// Moves what the socket holds into TLS and the plaintext into the inbox.
// False once the stream has ended.
bool Peer::pump(int wait_ms) {
    pollfd p{sock_, POLLIN, 0};
    bool alive = true;
    if (::poll(&p, 1, wait_ms) > 0) {
        char buf[65536];
        for (;;) {
            const ssize_t n = ::recv(sock_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                BIO_write(in_, buf, static_cast<int>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) alive = false;
            break;
        }
    }
    char plain[65536];
    size_t got = 0;
    while (SSL_read_ex(ssl_, plain, sizeof plain, &got) == 1) inbox_.append(plain, got);
    flush();  // key updates, alerts
    return alive;
}

bool Peer::handshake() {
    for (;;) {
        const int rc = SSL_do_handshake(ssl_);
        flush();
        if (rc == 1) return true;
        if (SSL_get_error(ssl_, rc) != SSL_ERROR_WANT_READ) return false;
        char buf[16384];
        const ssize_t n = ::recv(sock_, buf, sizeof buf, 0);  // bounded by SO_RCVTIMEO
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        BIO_write(in_, buf, static_cast<int>(n));
    }
}

void Peer::send(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        size_t wrote = 0;
        if (SSL_write_ex(ssl_, bytes.data() + done, bytes.size() - done, &wrote) != 1) break;
        done += wrote;
        flush();
    }
    flush();
}

void Peer::close_write() {
    SSL_shutdown(ssl_);
    flush();
    ::shutdown(sock_, SHUT_WR);
}

std::optional<std::string> Peer::reply(double seconds) {
    int left_ms = static_cast<int>(seconds * 1000);
    for (bool looked = false;; looked = true) {
        if (inbox_.size() >= 4) {
            uint32_t n;
            std::memcpy(&n, inbox_.data(), 4);
            if (inbox_.size() >= 4 + static_cast<size_t>(n)) {
                std::string payload = inbox_.substr(4, n);
                inbox_.erase(0, 4 + static_cast<size_t>(n));
                return payload;
            }
        }
        if (looked && left_ms <= 0) return std::nullopt;
        const int wait = std::max(0, std::min(left_ms, 50));
        if (!pump(wait)) left_ms = 0;  // the stream ended: what arrived is all there is
        left_ms -= 50;
    }
}

void Peer::discard_replies() {
    while (reply(0)) {
    }
}
