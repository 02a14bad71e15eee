#include "client/core/inbound.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vemo {
namespace {

constexpr size_t kReadPiece = 256 * 1024;

}  // namespace

int32_t InboundFrame::length() const {
    int32_t n;
    std::memcpy(&n, header_, 4);  // little-endian on every platform this runs on
    return n;
}

int InboundFrame::type() const {
    return static_cast<int8_t>(header_[4]);
}

size_t InboundFrame::expected() const {
    const int32_t n = length();
    return n > 0 ? static_cast<size_t>(n) : 0;
}

InboundFrame::Progress InboundFrame::advance(TlsStream& stream) {
    while (header_got_ < kHeaderSize) {
        const auto n =
            stream.read_ready(reinterpret_cast<char*>(header_) + header_got_, kHeaderSize - header_got_);
        if (!n) return Progress::waiting;
        if (*n == 0) return Progress::ended;
        header_got_ += *n;
        last_progress_ = std::chrono::steady_clock::now();
        if (header_got_ == kHeaderSize) return Progress::header;
    }
    // The payload grows with what arrives, so a header alone commits no
    // memory for the length it announces.
    const size_t size = expected();
    while (payload_got_ < size) {
        if (payload_.size() == payload_got_) payload_.resize(std::min(size, payload_got_ + kReadPiece));
        const auto n = stream.read_ready(payload_.data() + payload_got_, payload_.size() - payload_got_);
        if (!n) return Progress::waiting;
        if (*n == 0) return Progress::ended;
        payload_got_ += *n;
        last_progress_ = std::chrono::steady_clock::now();
    }
    return Progress::whole;
}

std::string InboundFrame::take_payload() {
    std::string payload = std::move(payload_);
    payload_.clear();
    header_got_ = 0;
    payload_got_ = 0;
    return payload;
}

}  // namespace vemo
