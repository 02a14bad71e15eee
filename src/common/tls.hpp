// Server-side TLS over non-blocking sockets, with every wait bounded: a
// peer that stops making progress for `stall` seconds fails the operation
// with StallError instead of holding the caller for ever.  These calls do
// not touch the interpreter; callers release the interpreter lock around them.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "common/fdio.hpp"

namespace vemo {

class TlsContext {
public:
    TlsContext();
    // Loads the certificate chain and the private key (PEM files).
    void load(const std::string& cert_file, const std::string& key_file);
    SSL_CTX* get() const { return ctx_.get(); }
    // SHA-256 of the loaded certificate as colon-separated hex pairs, the
    // form `openssl x509 -fingerprint -sha256` prints and masters pin.
    std::string fingerprint() const;

private:
    std::unique_ptr<SSL_CTX, Deleter<SSL_CTX_free>> ctx_;
};

class TlsStream {
public:
    TlsStream(FileDescriptor fd, SSL_CTX* ctx);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    int fd() const { return fd_.get(); }
    bool closed() const { return !fd_.valid(); }

    // Caps every wait of this stream, whatever the per-wait bound, until the
    // budget is lifted: a peer that trickles bytes restarts the per-wait
    // clock, never this one.
    void limit_to(double seconds);
    void lift_limit() { deadline_.reset(); }
    bool past_limit() const;

    void handshake(double seconds);
    // The handshake as far as the bytes that have arrived take it, without
    // waiting: true once it is complete.  Until then wants_write() tells
    // whether it waits for the socket to take bytes rather than give them.
    bool handshake_step();
    bool wants_write() const { return wants_write_; }
    // What has arrived, up to `n` bytes, without waiting: nothing when no
    // byte has; 0 once the peer has ended the connection.
    std::optional<size_t> read_ready(char* buf, size_t n);
    // Up to `n` bytes; 0 once the peer has ended the connection.
    size_t read_some(char* buf, size_t n, double stall);
    // Exactly `n` bytes unless the peer ends the connection first; returns
    // how many arrived.
    size_t read_exact(char* buf, size_t n, double stall);
    void write_all(const char* buf, size_t n, double stall);
    // True when the socket would take a small write now: a reader that has
    // stopped reading has filled it.
    bool writable_now() const;
    // True when TLS already holds application bytes that the socket's
    // readiness can no longer announce.
    bool has_buffered();
    void close();
    // Ends the connection for the peer and for every later read and write,
    // while the descriptor stays this stream's until close(): its number
    // cannot be reused under whoever still holds the stream.
    void hang_up();
    bool hung_up() const { return hung_up_.load(); }

private:
    void wait_for(int ssl_error, double stall);
    [[noreturn]] void fail(int ssl_error);

    using Clock = std::chrono::steady_clock;

    FileDescriptor fd_;
    std::unique_ptr<SSL, Deleter<SSL_free>> ssl_;
    std::optional<Clock::time_point> deadline_;
    bool broken_ = false;
    bool wants_write_ = false;
    // Set from the loop while another thread may be using the stream.
    std::atomic<bool> hung_up_{false};
};

// OpenSSL's queued error text, emptied.
std::string tls_error_text();

}  // namespace vemo
