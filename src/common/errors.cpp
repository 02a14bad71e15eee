#include "common/errors.hpp"

#include <cerrno>
#include <cstring>

namespace vemo {

IoError::IoError(int err) : std::runtime_error(std::strerror(err)), code(err) {}
IoError::IoError(int err, std::string path_named)
    : std::runtime_error(std::strerror(err)), code(err), path(std::move(path_named)) {}

bool is_interrupt(const py::error_already_set& e) {
    return e.matches(PyExc_KeyboardInterrupt) || e.matches(PyExc_SystemExit);
}

void set_python_error(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const IoError& e) {
        errno = e.code;
        if (e.path)
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, e.path->c_str());
        else
            PyErr_SetFromErrno(PyExc_OSError);
    } catch (const StallError& e) {
        PyErr_SetString(PyExc_TimeoutError, e.what());
    } catch (const TlsError& e) {
        py::object ssl_error = py::module_::import("ssl").attr("SSLError");
        PyErr_SetString(ssl_error.ptr(), e.what());
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
}

py::error_already_set current_as_python() {
    set_python_error(std::current_exception());
    return py::error_already_set();
}

void register_error_translation() {
    py::register_local_exception_translator([](std::exception_ptr p) {
        if (!p) return;
        try {
            std::rethrow_exception(p);
        } catch (const IoError&) {
            set_python_error(p);
        } catch (const StallError&) {
            set_python_error(p);
        } catch (const TlsError&) {
            set_python_error(p);
        }
    });
}

}  // namespace vemo
