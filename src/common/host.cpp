// The host calls that take more than the call itself.
#include "common/host.hpp"

namespace vemo::host {

std::string Public::error_info(py::error_already_set& error) const {
    // Make `error` the exception being handled for the duration of the call.
    PyObject *old_type = nullptr, *old_value = nullptr, *old_tb = nullptr;
    PyErr_GetExcInfo(&old_type, &old_value, &old_tb);
    py::object type = error.type(), value = error.value(), tb = error.trace();
    // Newer interpreters take the traceback from the exception itself.
    if (tb && !tb.is_none()) PyException_SetTraceback(value.ptr(), tb.ptr());
    PyErr_SetExcInfo(type.release().ptr(), value.release().ptr(), tb.release().ptr());
    std::string text;
    try {
        text = printable_text(module_.attr("get_error_info")());
    } catch (...) {
        PyErr_SetExcInfo(old_type, old_value, old_tb);
        throw;
    }
    PyErr_SetExcInfo(old_type, old_value, old_tb);
    return text;
}

void RelayClient::connect(const py::object& token, const py::object& host, const py::object& port) const {
    client_.attr("_p_rsa") = token;
    client_.attr("connect")(host, port);
}

py::object operation_named(const py::object& target, const py::object& name) {
    const py::module_ builtins = py::module_::import("builtins");
    if (!py::cast<bool>(builtins.attr("hasattr")(target, name))) return py::none();
    return builtins.attr("getattr")(target, name);
}

py::object import_plugin(const py::str& name) {
    PyObject* module = PyImport_Import(name.ptr());
    if (!module) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(module);
}

py::object web_request() {
    const py::module_ web = py::module_::import("ZQ_VEMO");
    if (!py::hasattr(web, "request")) throw py::import_error("cannot import name 'request' from 'ZQ_VEMO'");
    return web.attr("request");
}

}  // namespace vemo::host
