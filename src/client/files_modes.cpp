// set_file_mode and create_dir: modes and owners through the panel, and
// directories with every missing parent.
#include "client/files.hpp"
#include "client/files_fs.hpp"

namespace vemo::files {
namespace {

const char* const kDone = "1";
const char* const kMissing = "0";

// True when the path exists; mode and owner are then handed to the panel
// exactly as the master sent them.
bool apply_mode_and_owner(const py::object& request) {
    const py::object path = request["path"];
    const std::string raw_path = fs_path(path);
    if (!without_gil([&] { return status(raw_path); })) return false;
    const py::module_ panel = host_public();
    if (request.contains("mode")) panel.attr("set_mode")(path, request["mode"]);
    if (request.contains("user")) panel.attr("set_own")(path, request["user"]);
    return true;
}

}  // namespace

py::object set_file_mode(Agent& agent, int fd, const py::object& data, bool local) {
    if (local) return py::bool_(apply_mode_and_owner(data));
    const bool done = apply_mode_and_owner(open_request(agent, fd, py::cast<py::bytes>(data)));
    agent.send(fd, py::str(done ? kDone : kMissing));
    return py::none();
}

void create_dir(Agent& agent, int fd, const py::bytes& data) {
    const py::dict request = open_request(agent, fd, data);
    const std::string path = fs_path(request["path"]);
    without_gil([&] {
        if (!status(path)) make_dirs(path);
    });
    set_file_mode(agent, fd, request, true);
    agent.send(fd, py::str(kDone));
}

}  // namespace vemo::files
