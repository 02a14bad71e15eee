// Failures of the agent's own I/O code.  They are plain C++ exceptions
// inside and become the interpreter's matching exceptions at the boundary,
// so that their text is what the dispatcher inspects ("Broken pipe", ...).
#pragma once

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/pybind.hpp"

namespace vemo {

// An OS error with its errno, and the path it concerns where that is worth
// naming; becomes OSError (or its subclass for that errno).
struct IoError : std::runtime_error {
    int code;
    std::optional<std::string> path;
    explicit IoError(int err);
    IoError(int err, std::string path_named);
};

// A peer that stopped making progress; becomes TimeoutError ("timed out").
struct StallError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A TLS-level failure; becomes ssl.SSLError with OpenSSL's reason text.
struct TlsError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An interrupt or exit meant for the process, which no handler may swallow.
bool is_interrupt(const py::error_already_set& e);

// Sets the interpreter's error indicator from any exception.
void set_python_error(const std::exception_ptr& error);

// The exception currently being handled, as a Python exception.
py::error_already_set current_as_python();

// Registers the translation above with pybind11 (once per module).
void register_error_translation();

}  // namespace vemo
