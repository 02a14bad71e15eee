// The master's end of one loopback TLS connection, driven by hand: TLS runs
// over memory buffers, so the fuzzer decides exactly when bytes reach the
// socket and the agent (single-threaded, like its real loop) reads them.
#pragma once

#include <openssl/ssl.h>

#include <optional>
#include <string>

class Peer {
public:
    explicit Peer(int port);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // The client half of the handshake; runs on its own thread while the
    // agent accepts.  False when it fails.
    bool handshake();
    int local_port() const { return local_port_; }
    const std::string& local_address() const { return local_address_; }

    void send(const std::string& bytes);
    // close_notify, then end of stream: the agent sees an orderly EOF.
    void close_write();
    // One reply frame's payload (4-byte length, then payload), waiting up to
    // `seconds` for it; nothing when none arrives.
    std::optional<std::string> reply(double seconds);
    // Drops every reply that has arrived so far.
    void discard_replies();

private:
    void flush();
    bool pump(int wait_ms);

    int sock_ = -1, local_port_ = 0;
    SSL* ssl_ = nullptr;
    BIO *in_ = nullptr, *out_ = nullptr;
    std::string inbox_, local_address_;
};
