#include "common/pybind.hpp"

#include "common/plain_class.hpp"

#include "common/errors.hpp"
#include "scriptor/scriptor.hpp"

namespace vemo::scriptor {

namespace {

// The module object, kept alive for the life of the process as every
// imported module is, so that its globals can be read from the operations.
py::handle the_module;

// A plain class (base `object`, instance __dict__): plugin code reaches the
// private attributes and operations under the interpreter's mangled names,
// which a pybind11 class would not give it.
py::object make_class(const py::module_& m) {
    return vemo::make_plain_class(m, "scriptor",
                                  "Runs a function of a plugin's PHP code through the PHP CLI.");
}

}  // namespace

py::object module_global(const char* name) {
    return the_module.attr(name);
}

}  // namespace vemo::scriptor

PYBIND11_MODULE(scriptor, m) {
    using namespace vemo::scriptor;
    vemo::register_error_translation();
    m.attr("json") = py::module_::import("json");
    m.attr("os") = py::module_::import("os");
    m.attr("public") = vemo::host::module_named("public");
    m.attr("time") = py::module_::import("time");
    m.attr("re") = py::module_::import("re");
    // `from ZQ_VEMO import request`: outside a web application the bridge
    // fails to load, as the plain import would.
    m.attr("request") = vemo::host::web_request();
    the_module = m.inc_ref();

    py::object cls = make_class(m);
    // pybind11 takes a record named "__init__" for a pybind11 constructor;
    // this class is a plain one, so the record carries the class name.
    vemo::define_method(cls, "__init__", "scriptor", &construct, py::arg("plugin_name"));
    vemo::define_method(cls, "exec_php_script", "exec_php_script", &exec_php_script, py::arg("args"));
    vemo::define_method(cls, "_scriptor__write_args", "__write_args", &write_args, py::arg("args"));
    vemo::define_method(cls, "_scriptor__clean_args_file", "__clean_args_file", &clean_args_file);
    vemo::define_method(cls, "_scriptor__get_php_bin", "__get_php_bin", &get_php_bin);
    m.attr("scriptor") = cls;
}
