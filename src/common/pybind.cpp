#include "common/pybind.hpp"

#include <unistd.h>

#include <frameobject.h>

#include <cerrno>
#include <system_error>

#include "common/paths.hpp"

namespace vemo {

void enter_install_dir() {
    const std::string dir = paths::install_dir();
    if (::chdir(dir.c_str()) != 0) {
        errno = errno ? errno : ENOENT;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, dir.c_str());
        throw py::error_already_set();
    }
}

void prepend_search_path(const char* dir) {
    py::module_::import("sys").attr("path").attr("insert")(0, dir);
}

std::string printable_text(const py::handle& value) {
    const py::str text(value);
    const py::object utf8 =
        py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "backslashreplace"));
    if (!utf8) throw py::error_already_set();
    return std::string(py::reinterpret_borrow<py::bytes>(utf8));
}

std::string error_line(py::error_already_set& error) {
    const std::string name = printable_text(error.type().attr("__name__"));
    const std::string text = printable_text(error.value());
    return text.empty() ? name : name + ": " + text;
}

py::error_already_set with_native_frame(py::error_already_set& error, const char* where) {
    if (error.trace() && !error.trace().is_none()) return error;
    // The frame is made while no error is set: the interpreter refuses to
    // build one while an exception is pending.
    PyFrameObject* frame = nullptr;
    if (PyCodeObject* code = PyCode_NewEmpty("<agent>", where, 0)) {
        if (PyObject* globals = PyDict_New()) {
            frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
            Py_DECREF(globals);
        }
        Py_DECREF(code);
    }
    if (!frame) {
        PyErr_Clear();
        return error;
    }
    error.restore();
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
    return py::error_already_set();
}

std::string json_dumps(const py::handle& value) {
    // An exact int is written by json as its repr; that is every heartbeat
    // and every bare code, and spares a call into the json module.
    if (PyLong_CheckExact(value.ptr())) return py::str(value);
    return py::str(py::module_::import("json").attr("dumps")(value));
}

py::object json_loads(const py::handle& text) {
    return py::module_::import("json").attr("loads")(text);
}

}  // namespace vemo
