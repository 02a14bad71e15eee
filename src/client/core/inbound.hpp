// A request frame as far as it has arrived on one connection: the loop adds
// what the socket holds, without waiting, and takes the frame once whole.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/tls.hpp"

namespace vemo {

class InboundFrame {
public:
    static constexpr size_t kHeaderSize = 5;

    enum class Progress {
        waiting,  // the socket has nothing more for now
        header,   // the header just became whole: check it before going on
        whole,    // header and payload are here
        ended,    // the peer ended the connection
    };

    // Reads what has arrived, never more than the frame holds, so what
    // follows stays in the stream for the next frame.
    Progress advance(TlsStream& stream);
    // Once the header is whole: the length as sent and the type.
    int32_t length() const;
    int type() const;
    // The payload of a whole frame; the frame starts over.
    std::string take_payload();
    // Part of a frame is here and the rest is awaited.
    bool partial() const { return header_got_ > 0; }
    // When the last byte arrived.
    std::chrono::steady_clock::time_point last_progress() const { return last_progress_; }

private:
    size_t expected() const;

    unsigned char header_[kHeaderSize] = {};
    size_t header_got_ = 0;
    std::string payload_;
    size_t payload_got_ = 0;
    std::chrono::steady_clock::time_point last_progress_;
};

}  // namespace vemo
