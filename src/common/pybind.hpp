// Included first by every binding file: one spelling of the pybind11
// namespace and the small helpers all modules share.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

namespace py = pybind11;

namespace vemo {

// Effects every module of the agent has when it is loaded: work from the
// install directory and search the given relative directory first.
void enter_install_dir();
void prepend_search_path(const char* dir);

// str(value) as UTF-8, with anything that has no UTF-8 form (a lone
// surrogate from a file name that is not UTF-8) written as an escape.
std::string printable_text(const py::handle& value);

// The error's last traceback line: "ValueError: Decryption failed".
std::string error_line(py::error_already_set& error);

// An error raised in C++ reaches Python without a traceback, and its report
// would be the bare error line.  This gives such an error one traceback
// entry naming the agent operation `where` it came from, so that every
// report starts with the "Traceback" line masters look for.  An error that
// has a traceback already comes back unchanged.
py::error_already_set with_native_frame(py::error_already_set& error, const char* where);

// json.dumps with the interpreter's defaults.
std::string json_dumps(const py::handle& value);
py::object json_loads(const py::handle& text);

}  // namespace vemo
