// The file service's shared parts: uploads with resume, downloads from an
// offset, digests, listings, modes and owners.  The operations themselves
// are declared by the generated table of operations.
#pragma once

#include <cstddef>
#include <string>

#include "client/core/operations.hpp"

namespace vemo::files {

// Raw transfers move the file in pieces this large: big enough that TLS
// records, not system calls, set the pace; small enough to stay out of the
// agent's resident memory.
constexpr size_t kTransferPiece = 256 * 1024;
// An upload's header carries the digest of the file's first bytes, and a
// download's header carries those bytes; both, and the upload check, use
// this many.
constexpr size_t kFirstChunkSize = 512;

// The sealed payload opened and parsed as a JSON object.
py::dict open_request(Agent& agent, int fd, const py::bytes& data);

// The request's `key` as a JSON integer that fits in 64 bits.  A missing
// key is a KeyError; any other value (text, a fraction, null, true) an
// error naming the key and what it holds, never the binding's own cast
// failure.
long long request_integer(const py::dict& request, const char* key);

// The interpreter's name for the type of `value` ("str", "list"), for
// errors that say what a key held instead of what it should.
std::string type_name(const py::handle& value);

// Runs file-system work with the interpreter lock released: a slow disk or
// network file system must not stop the worker threads.
template <class Work>
auto without_gil(Work&& work) {
    py::gil_scoped_release nogil;
    return work();
}

// The panel's digest of `chunk` (host::Public::bytes_md5).
py::object bytes_md5(const std::string& chunk);

}  // namespace vemo::files
