// set_file_mode and create_dir: modes and owners through the panel, and
// directories with every missing parent.
#include "client/files/files.hpp"
#include "common/fs.hpp"

namespace vemo::files {
namespace {

const char* const kDone = "1";
const char* const kMissing = "0";

// Mode and owner are handed to the panel exactly as the master sent them,
// with a path bound to the file examined, so that a name swapped meanwhile
// cannot redirect them.
void apply_mode_and_owner(const py::object& request, const FileDescriptor& file) {
    const py::str examined(fs::descriptor_path(file.get()));
    const py::module_ panel = host_public();
    if (request.contains("mode")) panel.attr("set_mode")(examined, request["mode"]);
    if (request.contains("user")) panel.attr("set_own")(examined, request["user"]);
}

// False when the path leads nowhere, or through a link a local user planted.
bool set_mode_of(const py::object& request) {
    const std::string raw_path = fs::request_path(request["path"]);
    const std::optional<FileDescriptor> file = without_gil([&] { return fs::open_unplanted(raw_path); });
    if (file) apply_mode_and_owner(request, *file);
    return file.has_value();
}

}  // namespace

py::object set_file_mode(Agent& agent, int fd, const py::object& data, bool local) {
    if (local) return py::bool_(set_mode_of(data));
    const bool done = set_mode_of(open_request(agent, fd, py::cast<py::bytes>(data)));
    agent.send(fd, py::str(done ? kDone : kMissing));
    return py::none();
}

// Mode and owner go to what the walk made or found; a path through a
// user's planted link fails before anything is made.
void create_dir(Agent& agent, int fd, const py::bytes& data) {
    const py::dict request = open_request(agent, fd, data);
    const std::string path = fs::request_path(request["path"]);
    const FileDescriptor made = without_gil([&] { return fs::make_dirs(path); });
    apply_mode_and_owner(request, made);
    agent.send(fd, py::str(kDone));
}

}  // namespace vemo::files
