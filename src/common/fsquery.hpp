// The file system as the agent's handlers ask about it: paths built by
// plain concatenation, relative to the working directory, never normalised.
#pragma once

#include <string>
#include <vector>

#include "common/pybind.hpp"

namespace vemo::fs {

// Both follow symbolic links; a path the system cannot name (one holding
// a NUL byte) exists nowhere.
bool exists(const std::string& path);
bool is_directory(const std::string& path);

// Entry names in the order the system returns them, "." and ".." left out.
std::vector<std::string> list_directory(const std::string& path);

// Between the interpreter's text and the system's bytes, with the
// interpreter's file-system encoding (names that are not UTF-8 survive).
std::string to_path(const py::handle& text);
py::str to_text(const std::string& path);

}  // namespace vemo::fs
