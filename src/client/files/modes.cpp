// set_file_mode and create_dir: modes and owners through the panel, and
// directories with every missing parent.
#include "client/files/files.hpp"
#include "common/fs.hpp"
#include "common/host.hpp"

namespace vemo::files {
namespace {

const char* const kDone = "1";
const char* const kMissing = "0";

// Mode and owner are handed to the panel exactly as the master sent them,
// with a path bound to the file examined, so that a name swapped meanwhile
// cannot redirect them.
void apply_mode_and_owner(const py::object& request, const FileDescriptor& file) {
    const py::str examined(fs::descriptor_path(file.get()));
    const host::Public panel;
    if (request.contains("mode")) panel.set_mode(examined, request["mode"]);
    if (request.contains("user")) panel.set_own(examined, request["user"]);
}

// False when the path leads nowhere, or through a link a local user planted.
bool set_mode_of(const py::object& request) {
    const std::string raw_path = fs::request_path(request["path"]);
    const std::optional<FileDescriptor> file = without_gil([&] { return fs::open_unplanted(raw_path); });
    if (file) apply_mode_and_owner(request, *file);
    return file.has_value();
}

// A value the panel's helpers would skip without a word (a list, a
// mapping, a number as an account name) is refused before anything is
// done, so that `1` never stands for a mode or owner that was ignored.
// null stays what it always was: the same as leaving the key out.
void check_mode_and_owner(const py::dict& request) {
    if (request.contains("mode")) {
        const py::object mode = request["mode"];
        const bool number = PyLong_Check(mode.ptr()) && !PyBool_Check(mode.ptr());
        if (!mode.is_none() && !number && !py::isinstance<py::str>(mode))
            throw py::type_error("'mode' must be octal digits as a string or an integer, not " +
                                 type_name(mode));
    }
    if (request.contains("user")) {
        const py::object user = request["user"];
        if (!user.is_none() && !py::isinstance<py::str>(user))
            throw py::type_error("'user' must be an account name as a string, not " + type_name(user));
    }
}

}  // namespace

py::object set_file_mode(Agent& agent, int fd, const py::object& data, bool local) {
    if (local) return py::bool_(set_mode_of(data));
    const py::dict request = open_request(agent, fd, py::cast<py::bytes>(data));
    check_mode_and_owner(request);
    const bool done = set_mode_of(request);
    agent.send(fd, py::str(done ? kDone : kMissing));
    return py::none();
}

// Mode and owner go to what the walk made or found; a path through a
// user's planted link fails before anything is made.
void create_dir(Agent& agent, int fd, const py::bytes& data) {
    const py::dict request = open_request(agent, fd, data);
    check_mode_and_owner(request);
    const std::string path = fs::request_path(request["path"]);
    const FileDescriptor made = without_gil([&] { return fs::make_dirs(path); });
    apply_mode_and_owner(request, made);
    agent.send(fd, py::str(kDone));
}

}  // namespace vemo::files
