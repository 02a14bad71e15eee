// Plain Python classes (base `object`, instance __dict__) whose methods are
// C++ functions.  Callers reach them by attribute name exactly as they reach
// the panel's own Python classes, private mangled names included.
#pragma once

#include <utility>

#include "common/pybind.hpp"

namespace vemo {

inline py::object make_plain_class(const py::module_& m, const char* name, const char* doc) {
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(name, py::tuple(),
                                                                                         ns);
}

// Installs `f` as the method stored under `stored`, named `name`.  A
// constructor is stored as "__init__" under another name: pybind11 treats
// any function record named "__init__" as a pybind11 class's constructor.
template <typename Func, typename... Extra>
void define_method(py::object& cls, const char* stored, const char* name, Func&& f, const Extra&... extra) {
    py::setattr(cls, stored,
                py::cpp_function(std::forward<Func>(f), py::name(name), py::is_method(cls), extra...));
}

}  // namespace vemo
