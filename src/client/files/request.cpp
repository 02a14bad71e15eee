// What every file operation needs from the interpreter: the opened
// request and the panel's digest.
#include "client/files/files.hpp"

namespace vemo::files {

py::dict open_request(Agent& agent, int fd, const py::bytes& data) {
    py::object request = json_loads(agent.aes_decode(fd, data));
    if (!py::isinstance<py::dict>(request)) throw py::type_error("request is not a JSON object");
    return py::reinterpret_borrow<py::dict>(request);
}

py::object bytes_md5(const std::string& chunk) {
    return host_public().attr("bytes_md5")(py::bytes(chunk));
}

}  // namespace vemo::files
