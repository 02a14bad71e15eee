// The file service: uploads with resume, downloads from an offset, digests,
// listings, modes and owners.  Each operation is a free function over the
// agent, bound as the agent's method of the same name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "client/agent.hpp"

namespace vemo::files {

// Raw transfers move the file in pieces this large: big enough that TLS
// records, not system calls, set the pace; small enough to stay out of the
// agent's resident memory.
constexpr size_t kTransferPiece = 256 * 1024;

void on_check_file_upload(Agent& agent, int fd, const py::bytes& data);
void on_file(Agent& agent, int fd, const py::bytes& data);
void on_download(Agent& agent, int fd, const py::bytes& data);
void check_file_sha1(Agent& agent, int fd, const py::bytes& data);
void get_file_list(Agent& agent, int fd, const py::bytes& data);
py::dict get_file_stat(Agent& agent, const py::object& filename);
void create_dir(Agent& agent, int fd, const py::bytes& data);
py::object set_file_mode(Agent& agent, int fd, const py::object& data, bool local);

// The sealed payload opened and parsed as a JSON object.
py::dict open_request(Agent& agent, int fd, const py::bytes& data);

// A path as the file system sees it (the interpreter's file-system
// encoding); a path with a NUL byte is refused rather than cut short.
std::string fs_path(const py::handle& path);
// Bytes from the file system as the interpreter would show them.
py::str fs_text(std::string_view raw);

// Runs file-system work with the interpreter lock released: a slow disk or
// network file system must not stop the worker threads.
template <class Work>
auto without_gil(Work&& work) {
    py::gil_scoped_release nogil;
    return work();
}

// public.bytes_md5 of `chunk`.
py::object bytes_md5(const std::string& chunk);

}  // namespace vemo::files
