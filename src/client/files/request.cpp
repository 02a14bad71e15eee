// What every file operation needs from the interpreter: the opened
// request, paths in the file system's encoding, and the panel's digest.
#include "client/files/files.hpp"

namespace vemo::files {

py::dict open_request(Agent& agent, int fd, const py::bytes& data) {
    py::object request = json_loads(agent.aes_decode(fd, data));
    if (!py::isinstance<py::dict>(request)) throw py::type_error("request is not a JSON object");
    return py::reinterpret_borrow<py::dict>(request);
}

std::string fs_path(const py::handle& path) {
    std::string raw;
    if (py::isinstance<py::bytes>(path)) {
        raw = py::reinterpret_borrow<py::bytes>(path);
    } else if (py::isinstance<py::str>(path)) {
        PyObject* encoded = PyUnicode_EncodeFSDefault(path.ptr());
        if (!encoded) throw py::error_already_set();
        raw = py::reinterpret_steal<py::bytes>(encoded);
    } else {
        throw py::type_error("path should be a string, not " +
                             std::string(py::str(py::type::of(path).attr("__name__"))));
    }
    if (raw.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
    return raw;
}

py::str fs_text(std::string_view raw) {
    PyObject* text = PyUnicode_DecodeFSDefaultAndSize(raw.data(), static_cast<Py_ssize_t>(raw.size()));
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

py::object bytes_md5(const std::string& chunk) {
    return host_public().attr("bytes_md5")(py::bytes(chunk));
}

}  // namespace vemo::files
