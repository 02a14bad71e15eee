#include "client/core/connection.hpp"

#include <memory>

namespace vemo {

void bind_connection(py::module_& m) {
    py::class_<Connection, std::shared_ptr<Connection>>(m, "Connection")
        .def("fileno", &Connection::fileno)
        .def("close", &Connection::close)
        .def("__repr__",
             [](const Connection& c) { return "<Connection fd=" + std::to_string(c.fileno()) + ">"; });
}

}  // namespace vemo
