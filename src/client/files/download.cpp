// on_download: a sealed header announcing the file, then the file's bytes
// from the requested offset as a raw transfer.
#include <fcntl.h>

#include <algorithm>
#include <vector>

#include "client/files/files.hpp"
#include "client/messages.hpp"
#include "common/errors.hpp"
#include "common/fs.hpp"
#include "common/host.hpp"

namespace vemo::files {
namespace {

// The panel reads mode and owner from a path bound to the file opened,
// not from the name, which may lead elsewhere by now.
py::dict download_header(const FileDescriptor& file, off_t size, const std::string& first) {
    const py::object owner = host::panel().mode_and_user(py::str(fs::descriptor_path(file.get())));
    py::dict header;
    header["f_size"] = size;
    header["f_mode"] = owner["mode"];
    header["f_user"] = owner["user"];
    header["f_md5"] = bytes_md5(first);
    return header;
}

// Sends up to `count` bytes from `offset`; fewer when the file has shrunk
// since it was opened.
uint64_t send_file(TlsStream& stream, const FileDescriptor& file, off_t offset, uint64_t count,
                   double stall) {
    ::posix_fadvise(file.get(), offset, static_cast<off_t>(count), POSIX_FADV_SEQUENTIAL);
    std::vector<char> piece(static_cast<size_t>(std::min<uint64_t>(count, kTransferPiece)));
    uint64_t sent = 0;
    while (sent < count) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(count - sent, piece.size()));
        const size_t got = fs::read_at(file.get(), piece.data(), want, offset + static_cast<off_t>(sent));
        stream.write_all(piece.data(), got, stall);
        sent += got;
        if (got < want) break;
    }
    return sent;
}

}  // namespace

void on_download(Agent& agent, int fd, const py::bytes& data) {
    const py::dict request = open_request(agent, fd, data);
    const std::string path = fs::request_path(request["filename"]);
    const std::optional<FileDescriptor> file = without_gil([&] { return fs::open_regular(path); });
    if (!file) {
        agent._error(fd, py::str(messages::kNoSuchFile));
        return;
    }
    const off_t size = without_gil([&] { return file->status().st_size; });
    const long long from = request.contains("f_pos") ? request_integer(request, "f_pos") : 0;
    if (from < 0) throw IoError(EINVAL);
    // The header promises f_size, so nothing past the size at opening is
    // sent, even from a file that grows meanwhile.
    const uint64_t total = size > from ? static_cast<uint64_t>(size - from) : 0;
    const std::string first = without_gil([&] {
        return fs::read_at(file->get(), std::min<uint64_t>(total, kFirstChunkSize), static_cast<off_t>(from));
    });
    agent.send(fd, download_header(*file, size, first));

    // From here on the master counts file bytes: a failure can no longer be
    // reported in-band, and a short transfer must end the connection rather
    // than leave the master waiting for bytes that will never come.
    const std::shared_ptr<Connection> conn = agent.connection(fd);
    TlsStream& stream = conn->stream;
    uint64_t sent;
    try {
        py::gil_scoped_release nogil;
        stream.write_all(first.data(), first.size(), agent.io_timeout);
        sent = first.size() + send_file(stream, *file, static_cast<off_t>(from + first.size()),
                                        total - first.size(), agent.io_timeout);
    } catch (...) {
        agent.on_close(fd);
        throw;
    }
    if (sent < total) {
        agent.on_close(fd);
        throw std::runtime_error("the file ended after " + std::to_string(sent) + " of the " +
                                 std::to_string(total) + " bytes announced");
    }
}

}  // namespace vemo::files
