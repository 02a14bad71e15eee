// A request frame as far as it has arrived on one connection: the loop adds
// what the socket holds, without waiting, and takes the frame once whole.
#pragma once

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

private:
    size_t expected() const;

    unsigned char header_[kHeaderSize] = {};
    size_t header_got_ = 0;
    std::string payload_;
    size_t payload_got_ = 0;
};

}  // namespace vemo
