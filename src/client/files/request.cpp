// What every file operation needs from the interpreter: the opened
// request and the panel's digest.
#include "client/files/files.hpp"
#include "common/host.hpp"

namespace vemo::files {

py::dict open_request(Agent& agent, int fd, const py::bytes& data) {
    py::object request = json_loads(agent.aes_decode(fd, data));
    if (!py::isinstance<py::dict>(request)) throw py::type_error("request is not a JSON object");
    return py::reinterpret_borrow<py::dict>(request);
}

std::string type_name(const py::handle& value) {
    return py::str(py::type::handle_of(value).attr("__name__"));
}

long long request_integer(const py::dict& request, const char* key) {
    const py::object value = request[key];
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) {
        throw py::type_error("'" + std::string(key) + "' must be an integer, not " + type_name(value));
    }
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0) throw py::value_error("'" + std::string(key) + "' does not fit in 64 bits");
    return number;
}

py::object bytes_md5(const std::string& chunk) {
    return host::panel().bytes_md5(py::bytes(chunk));
}

}  // namespace vemo::files
