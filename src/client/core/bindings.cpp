// The agent class as the interpreter sees it: every operation under its
// own name, the tables and the bounds as attributes.  Methods outside the
// table of operations, or with another signature, are bound by hand.
#include <utility>

#include "client/core/operations.hpp"

namespace vemo {

void bind_agent(py::module_& m) {
    using A = Agent;
    AgentClass cls(m, "zq_vemo_client", py::dynamic_attr());
    cls.attr("_cert") = "cert/certificate.pem";
    cls.attr("_key") = "cert/privateKey.pem";
    // The connection table's own dicts: what Python does to them, the
    // agent sees.
    using Table = py::dict ConnectionTable::*;
    const std::pair<const char*, Table> tables[] = {{"connections", &ConnectionTable::connections},
                                                    {"addresses", &ConnectionTable::addresses},
                                                    {"passwords", &ConnectionTable::passwords},
                                                    {"timeouts", &ConnectionTable::timeouts}};
    for (const auto& [name, which] : tables)
        cls.def_property(
            name, [which = which](const A& a) { return a.table.*which; },
            [which = which](A& a, py::dict value) { a.table.*which = std::move(value); });
    cls.def(py::init<>())
        .def_readwrite("epoll", &A::epoll)
        .def_readwrite("s", &A::s)
        .def_readwrite("rsa_aes", &A::rsa_aes)
        .def_readwrite("context", &A::context)
        .def_readwrite("threads", &A::threads)
        .def_readwrite("handshake_timeout", &A::handshake_timeout)
        .def_readwrite("io_timeout", &A::io_timeout)
        .def_readwrite("max_unkeyed", &A::max_unkeyed)
        .def_readwrite("max_frame", &A::max_frame)
        .def_readwrite("max_payload", &A::max_payload)
        .def_readwrite("max_reply", &A::max_reply)
        .def("run", &A::run)
        .def("listen_event", &A::listen_event)
        .def("on_accept", &A::on_accept, py::arg("sock"), py::arg("mask"))
        .def("on_read", &A::on_read, py::arg("conn"), py::arg("mask"))
        .def("on_finished", &A::on_finished, py::arg("finished"), py::arg("mask"))
        .def("gzip", &A::gzip, py::arg("data"))
        .def("ungzip", &A::ungzip, py::arg("data"))
        .def("clean_fd", &A::clean_fd)
        .def("_error", &A::_error, py::arg("fd"), py::arg("msg"), py::arg("to_aes") = true)
        .def("_success", &A::_success, py::arg("fd"), py::arg("msg"), py::arg("to_aes") = true)
        .def("aes_encode", &A::aes_encode, py::arg("fd"), py::arg("data"))
        .def("aes_decode", &A::aes_decode, py::arg("fd"), py::arg("data"))
        .def("on_close", &A::on_close, py::arg("fd"))
        .def("send", &A::send, py::arg("fd"), py::arg("data"), py::arg("aes_to") = true)
        .def("create_ssl", &A::create_ssl)
        .def("get_input", &A::get_input, py::arg("fd"), py::arg("data"))
        .def("set_file_mode", &files::set_file_mode, py::arg("fd"), py::arg("data"),
             py::arg("local") = false);
    files::bind_file_stat(cls);
    for (const Operation& op : kOperations)
        if (op.bind) op.bind(cls, op.name);
}

}  // namespace vemo
