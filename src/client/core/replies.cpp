// Reply frames: a 4-byte little-endian length, then the (sealed) payload,
// written from one buffer.
#include <cstdint>
#include <cstring>
#include <limits>

#include "client/core/agent.hpp"
#include "common/host.hpp"

namespace vemo {

void Agent::send(int fd, py::object data, bool aes_to) {
    if (!py::isinstance<py::str>(data) && !py::isinstance<py::bytes>(data)) data = py::str(json_dumps(data));
    py::bytes payload = py::isinstance<py::bytes>(data) ? py::reinterpret_borrow<py::bytes>(data)
                                                        : py::bytes(data.attr("encode")("utf-8"));
    if (aes_to) payload = aes_encode(fd, payload);

    const std::string_view body = payload;
    if (body.size() > std::numeric_limits<uint32_t>::max())
        throw py::value_error("reply payload of " + std::to_string(body.size()) +
                              " bytes exceeds the frame limit");
    const std::shared_ptr<Connection> conn = connection(fd);
    std::string frame(4 + body.size(), '\0');
    const uint32_t length = static_cast<uint32_t>(body.size());
    std::memcpy(frame.data(), &length, 4);
    std::memcpy(frame.data() + 4, body.data(), body.size());
    py::gil_scoped_release nogil;
    conn->stream.write_all(frame.data(), frame.size(), io_timeout);
}

bool Agent::_error(int fd, const py::object& msg, bool to_aes) {
    send(fd, host::panel().return_msg(false, msg), to_aes);
    return true;
}

bool Agent::_success(int fd, const py::object& msg, bool to_aes) {
    send(fd, host::panel().return_msg(true, msg), to_aes);
    return true;
}

}  // namespace vemo
