// The raw bytes a master sends after an upload header.  They are no frame,
// so the receiver never takes more than the master announced, and it can
// consume the rest when the agent refuses the upload: file bytes must never
// reach the frame reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>

#include "common/tls.hpp"

namespace vemo::files {

class RawReceiver {
public:
    RawReceiver(TlsStream& stream, uint64_t announced, double stall)
        : stream_(stream), left_(announced), stall_(stall) {}

    uint64_t left() const { return left_; }
    // The peer ended the connection, or a read failed: nothing more will come.
    bool stopped() const { return ended_ || failure_ != nullptr; }

    // Fills `buf` with min(n, left()) bytes, fewer only when the stream
    // stopped.  Bytes that arrived before a failure are still handed out;
    // the failure itself is raised by rethrow_failure().
    size_t receive(char* buf, size_t n);
    void rethrow_failure() const;
    // Reads and drops whatever of the announced bytes is still to come.
    void discard_rest();

private:
    TlsStream& stream_;
    uint64_t left_;
    double stall_;
    bool ended_ = false;
    std::exception_ptr failure_;
};

}  // namespace vemo::files
