// file_size: how many bytes the entry at a path holds.
#include <sys/stat.h>

#include "client/files/files.hpp"
#include "common/fs.hpp"

namespace vemo::files {

void file_size(Agent& agent, int fd, const py::bytes& data) {
    const py::dict request = open_request(agent, fd, data);
    const std::string path = fs::request_path(request["path"]);
    const long long size = without_gil([&]() -> long long {
        const std::optional<FileDescriptor> entry = fs::open_unplanted(path);
        struct stat st;
        if (!entry || ::fstat(entry->get(), &st) != 0) return -1;
        return st.st_size;
    });
    agent.send(fd, py::str(std::to_string(size)));
}

}  // namespace vemo::files
