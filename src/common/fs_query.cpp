// Questions about names, and the encoding between the interpreter's text
// and the system's bytes.
#include "common/fs.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/errors.hpp"

namespace vemo::fs {
namespace {

bool stat_path(const std::string& path, struct stat& st) {
    return path.find('\0') == std::string::npos && ::stat(path.c_str(), &st) == 0;
}

}  // namespace

bool exists(const std::string& path) {
    struct stat st;
    return stat_path(path, st);
}

bool is_directory(const std::string& path) {
    struct stat st;
    return stat_path(path, st) && S_ISDIR(st.st_mode);
}

std::vector<std::string> list_directory(const std::string& path) {
    std::unique_ptr<DIR, Deleter<::closedir>> dir(::opendir(path.c_str()));
    if (!dir) throw IoError(errno, path);
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
        errno = 0;
    }
    if (errno != 0) throw IoError(errno);
    return names;
}

std::string to_path(const py::handle& text) {
    if (!py::isinstance<py::str>(text)) {
        const std::string type_name = py::str(py::type::of(text).attr("__name__"));
        throw py::type_error("path must be str, not " + type_name);
    }
    const auto encoded = py::reinterpret_steal<py::bytes>(PyUnicode_EncodeFSDefault(text.ptr()));
    if (!encoded) throw py::error_already_set();
    return encoded;
}

py::str to_text(std::string_view path) {
    const auto text = py::reinterpret_steal<py::str>(
        PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (!text) throw py::error_already_set();
    return text;
}

std::string request_path(const py::handle& path) {
    std::string raw;
    if (py::isinstance<py::bytes>(path)) {
        raw = py::reinterpret_borrow<py::bytes>(path);
    } else if (py::isinstance<py::str>(path)) {
        PyObject* encoded = PyUnicode_EncodeFSDefault(path.ptr());
        if (!encoded) throw py::error_already_set();
        raw = py::reinterpret_steal<py::bytes>(encoded);
    } else {
        throw py::type_error("path should be a string, not " +
                             std::string(py::str(py::type::of(path).attr("__name__"))));
    }
    if (raw.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
    return raw;
}

}  // namespace vemo::fs
