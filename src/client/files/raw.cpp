#include "client/files/raw.hpp"

#include <algorithm>
#include <vector>

#include "client/files/files.hpp"

namespace vemo::files {

size_t RawReceiver::receive(char* buf, size_t n) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(n, left_));
    size_t have = 0;
    while (have < want && !stopped()) {
        try {
            const size_t got = stream_.read_some(buf + have, want - have, stall_);
            ended_ = got == 0;
            have += got;
        } catch (...) {
            failure_ = std::current_exception();
        }
    }
    left_ -= have;
    return have;
}

void RawReceiver::rethrow_failure() const {
    if (failure_) std::rethrow_exception(failure_);
}

void RawReceiver::discard_rest() {
    std::vector<char> sink(static_cast<size_t>(std::min<uint64_t>(left_, kTransferPiece)));
    while (left_ > 0 && !stopped()) receive(sink.data(), sink.size());
    rethrow_failure();
}

}  // namespace vemo::files
