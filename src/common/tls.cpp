#include "common/tls.hpp"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>

#include "common/errors.hpp"

namespace vemo {
namespace {

constexpr const char* kTls12Suites = "ECDHE+AESGCM:ECDHE+CHACHA20:DHE+AESGCM:DHE+CHACHA20:!aNULL";

}  // namespace

std::string tls_error_text() {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(code, buf, sizeof buf);
        if (!text.empty()) text += "; ";
        text += buf;
    }
    return text.empty() ? "TLS failure" : text;
}

TlsContext::TlsContext() : ctx_(SSL_CTX_new(TLS_server_method())) {
    if (!ctx_) throw TlsError(tls_error_text());
    SSL_CTX_set_mode(ctx_.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A peer that drops the TCP connection without close_notify has ended
    // the stream; that is the same as an orderly end for this protocol.
    SSL_CTX_set_options(ctx_.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_read_ahead(ctx_.get(), 1);
    // Masters pin the certificate rather than validate it, so the transport
    // itself must be sound: no TLS 1.0/1.1, and on 1.2 only suites with
    // forward secrecy and authenticated encryption.  TLS 1.3 keeps its
    // defaults, all of which qualify.
    if (SSL_CTX_set_min_proto_version(ctx_.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(ctx_.get(), kTls12Suites) != 1)
        throw TlsError(tls_error_text());
}

void TlsContext::load(const std::string& cert_file, const std::string& key_file) {
    if (SSL_CTX_use_certificate_chain_file(ctx_.get(), cert_file.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_.get(), key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx_.get()) != 1)
        throw TlsError(tls_error_text());
}

std::string TlsContext::fingerprint() const {
    X509* cert = SSL_CTX_get0_certificate(ctx_.get());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!cert || X509_digest(cert, EVP_sha256(), digest, &size) != 1) throw TlsError(tls_error_text());
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        if (i) text += ':';
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

TlsStream::TlsStream(FileDescriptor fd, SSL_CTX* ctx) : fd_(std::move(fd)), ssl_(SSL_new(ctx)) {
    if (!ssl_) throw TlsError(tls_error_text());
    ::fcntl(fd_.get(), F_SETFL, ::fcntl(fd_.get(), F_GETFL) | O_NONBLOCK);
    SSL_set_fd(ssl_.get(), fd_.get());
    SSL_set_accept_state(ssl_.get());
}

TlsStream::~TlsStream() {
    close();
}

void TlsStream::close() {
    if (!fd_.valid()) return;
    if (!broken_ && !hung_up_ && SSL_is_init_finished(ssl_.get())) SSL_shutdown(ssl_.get());
    ERR_clear_error();
    fd_.reset();
}

void TlsStream::hang_up() {
    if (!fd_.valid() || hung_up_.exchange(true)) return;
    ::shutdown(fd_.get(), SHUT_RDWR);
}

void TlsStream::limit_to(double seconds) {
    deadline_ =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

bool TlsStream::past_limit() const {
    return deadline_ && Clock::now() >= *deadline_;
}

void TlsStream::wait_for(int ssl_error, double stall) {
    pollfd p{fd_.get(), static_cast<short>(ssl_error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    double seconds = stall;
    if (deadline_) {
        seconds = std::min(seconds, std::chrono::duration<double>(*deadline_ - Clock::now()).count());
        if (seconds <= 0) throw StallError("timed out");
    }
    const int ms = static_cast<int>(std::ceil(seconds * 1000.0));
    for (;;) {
        const int rc = ::poll(&p, 1, ms);
        if (rc > 0) return;
        if (rc == 0) throw StallError("timed out");
        if (errno != EINTR) throw IoError(errno);
    }
}

void TlsStream::fail(int ssl_error) {
    broken_ = true;
    if (ssl_error == SSL_ERROR_SYSCALL) {
        const int err = errno;
        ERR_clear_error();
        throw IoError(err ? err : ECONNRESET);
    }
    throw TlsError(tls_error_text());
}

// The bound is on the whole handshake, not on each wait: a peer that
// trickles its hello a byte at a time must not hold the loop for ever.
void TlsStream::handshake(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        ERR_clear_error();
        const int rc = SSL_do_handshake(ssl_.get());
        if (rc == 1) return;
        const int err = SSL_get_error(ssl_.get(), rc);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            const double left =
                std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) throw StallError("timed out");
            wait_for(err, left);
            continue;
        }
        if (err == SSL_ERROR_ZERO_RETURN || (err == SSL_ERROR_SYSCALL && errno == 0))
            throw IoError(ECONNRESET);
        fail(err);
    }
}

bool TlsStream::handshake_step() {
    if (hung_up_) throw IoError(EPIPE);
    if (!fd_.valid()) throw IoError(EPIPE);
    ERR_clear_error();
    const int rc = SSL_do_handshake(ssl_.get());
    wants_write_ = false;
    if (rc == 1) return true;
    const int err = SSL_get_error(ssl_.get(), rc);
    if (err == SSL_ERROR_WANT_READ) return false;
    if (err == SSL_ERROR_WANT_WRITE) {
        wants_write_ = true;
        return false;
    }
    if (err == SSL_ERROR_ZERO_RETURN || (err == SSL_ERROR_SYSCALL && errno == 0)) {
        broken_ = true;
        ERR_clear_error();
        throw IoError(ECONNRESET);
    }
    fail(err);
}

std::optional<size_t> TlsStream::read_ready(char* buf, size_t n) {
    if (hung_up_) throw IoError(EPIPE);
    if (!fd_.valid()) throw IoError(EPIPE);
    ERR_clear_error();
    size_t got = 0;
    if (SSL_read_ex(ssl_.get(), buf, n, &got) == 1) return got;
    const int err = SSL_get_error(ssl_.get(), 0);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return std::nullopt;
    if (err == SSL_ERROR_ZERO_RETURN || (err == SSL_ERROR_SYSCALL && errno == 0)) return 0;
    fail(err);
}

size_t TlsStream::read_some(char* buf, size_t n, double stall) {
    if (hung_up_) throw IoError(EPIPE);
    if (!fd_.valid()) throw IoError(EPIPE);  // the agent closed it: the peer is gone
    for (;;) {
        ERR_clear_error();
        size_t got = 0;
        if (SSL_read_ex(ssl_.get(), buf, n, &got) == 1) return got;
        const int err = SSL_get_error(ssl_.get(), 0);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            wait_for(err, stall);
            continue;
        }
        if (err == SSL_ERROR_ZERO_RETURN) return 0;
        if (err == SSL_ERROR_SYSCALL && errno == 0) return 0;
        fail(err);
    }
}

size_t TlsStream::read_exact(char* buf, size_t n, double stall) {
    size_t have = 0;
    while (have < n) {
        const size_t got = read_some(buf + have, n - have, stall);
        if (got == 0) break;
        have += got;
    }
    return have;
}

void TlsStream::write_all(const char* buf, size_t n, double stall) {
    if (hung_up_) throw IoError(EPIPE);
    if (!fd_.valid()) throw IoError(EPIPE);  // the agent closed it: the peer is gone
    size_t done = 0;
    while (done < n) {
        ERR_clear_error();
        size_t wrote = 0;
        if (SSL_write_ex(ssl_.get(), buf + done, n - done, &wrote) == 1) {
            done += wrote;
            continue;
        }
        const int err = SSL_get_error(ssl_.get(), 0);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            wait_for(err, stall);
            continue;
        }
        if (err == SSL_ERROR_ZERO_RETURN) throw IoError(EPIPE);
        fail(err);
    }
}

bool TlsStream::writable_now() const {
    if (!fd_.valid() || broken_) return false;
    pollfd p{fd_.get(), POLLOUT, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0;
}

bool TlsStream::has_buffered() {
    if (!fd_.valid() || broken_ || !SSL_has_pending(ssl_.get())) return false;
    char c;
    size_t got = 0;
    ERR_clear_error();
    // A peek processes records that read-ahead has already pulled in, and
    // answers "would block" for an incomplete one without waiting.
    const bool ready = SSL_peek_ex(ssl_.get(), &c, 1, &got) == 1 && got > 0;
    ERR_clear_error();
    return ready;
}

}  // namespace vemo
