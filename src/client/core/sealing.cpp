// Session keys, and the compression and encryption around every payload.
#include <algorithm>

#include "client/core/agent.hpp"
#include "client/messages.hpp"
#include "common/gzip.hpp"
#include "common/host.hpp"

namespace vemo {
namespace {

constexpr int kGzipLevel = 1;

// The interpreter lock is let go only around work that takes longer than
// handing it to a busy worker thread and waiting to get it back.  Level 1
// goes through 16 KiB in tens of microseconds; 1 KiB of deflate data may
// inflate to 1 MiB, about a millisecond.
constexpr size_t kCompressReleaseAbove = 16 * 1024;
constexpr size_t kInflateReleaseAbove = 1024;

bool valid_key_length(size_t n) {
    return n == 16 || n == 24 || n == 32;
}

template <class Work>
std::string lock_released_if_above(size_t size, size_t threshold, Work&& work) {
    if (size <= threshold) return work();
    py::gil_scoped_release nogil;
    return work();
}

}  // namespace

py::bytes Agent::gzip(const py::bytes& data) {
    const std::string_view in = data;
    const std::string out = lock_released_if_above(in.size(), kCompressReleaseAbove,
                                                   [&] { return gzip_compress(in, kGzipLevel); });
    return py::bytes(out);
}

py::bytes Agent::ungzip(const py::bytes& data) {
    const std::string_view in = data;
    const size_t limit = static_cast<size_t>(std::max<int64_t>(max_payload, 0));
    const std::string out =
        lock_released_if_above(in.size(), kInflateReleaseAbove, [&] { return gzip_decompress(in, limit); });
    return py::bytes(out);
}

py::bytes Agent::aes_encode(int fd, const py::bytes& data) {
    const py::object key = table.passwords[py::int_(fd)];
    return host::Crypto(rsa_aes).aes_encrypt(key, gzip(data));
}

py::bytes Agent::aes_decode(int fd, const py::bytes& data) {
    const py::object key = table.passwords[py::int_(fd)];
    return ungzip(host::Crypto(rsa_aes).aes_decrypt(key, data));
}

py::object Agent::get_input(int fd, const py::bytes& data) {
    const py::object decoded = json_loads(aes_decode(fd, data));
    if (!py::isinstance<py::dict>(decoded)) throw py::type_error("request is not a JSON object");
    py::object request = host::panel().request_object();
    for (const auto& item : py::reinterpret_borrow<py::dict>(decoded)) request[item.first] = item.second;
    return request;
}

void Agent::on_password(int fd, const py::bytes& data) {
    // The helper may open its key file for this: with the descriptors
    // used up, keyed masters would otherwise never get in.
    const py::object opened =
        key_spare_.lend_for([&] { return host::Crypto(rsa_aes).rsa_decrypt_private(data); });
    const py::bytes key = ungzip(opened);
    if (!valid_key_length(std::string_view(key).size())) {
        send(fd, host::panel().return_msg(false, py::str(messages::kBadPassword)), false);
        return;
    }
    table.passwords[py::int_(fd)] = key;
    send(fd, py::bytes("True"), false);
}

}  // namespace vemo
