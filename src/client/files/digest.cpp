// check_file_sha1: does a file on this server have the master's SHA-1?
#include "client/files/files.hpp"
#include "common/fs.hpp"
#include "common/host.hpp"

namespace vemo::files {
namespace {

const char* const kMatch = "1";
const char* const kNoMatch = "-1";

// A FIFO, socket or device has no content to digest (reading it could
// wait for ever or never end); a directory is the panel's to judge.
bool digestible(const struct stat& st) {
    return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
}

}  // namespace

void check_file_sha1(Agent& agent, int fd, const py::bytes& data) {
    const py::dict request = open_request(agent, fd, data);
    const std::string raw_path = fs::request_path(request["f_name"]);
    const std::optional<FileDescriptor> file =
        without_gil([&] { return fs::open_examined(raw_path, digestible); });
    // The panel digests by path: it gets one bound to the file examined,
    // which a FIFO swapped in under its name cannot replace.
    const bool match = file && host::panel()
                                   .file_sha1(py::str(fs::descriptor_path(file->get())))
                                   .equal(py::object(request["f_sha1"]));
    agent.send(fd, py::str(match ? kMatch : kNoMatch));
}

}  // namespace vemo::files
