// Packing and unpacking archives is the panel's task object's work; the
// agent hands the request over and relays the answer unchanged.
#include "client/extension/extension.hpp"
#include "client/messages.hpp"
#include "common/fs.hpp"
#include "common/host.hpp"

namespace vemo::extension {
namespace {

// Both calls name no log of their own.
const char* const kNoLog = "/dev/null";

// The task object works by name, as root: a path that leads through a link
// a local user planted (see fs::open_unplanted) never reaches it.  What is
// not a path at all is the task object's to refuse.
bool vouched(const py::object& path) {
    if (!py::isinstance<py::str>(path) && !py::isinstance<py::bytes>(path)) return true;
    const std::string raw = fs::request_path(path);
    py::gil_scoped_release nogil;
    return fs::vouched_as_far_as_it_exists(raw);
}

// Sends the refusal and says so when either path is refused.
bool refused(Agent& agent, int fd, const py::object& sfile, const py::object& dfile) {
    if (vouched(sfile) && vouched(dfile)) return false;
    agent._error(fd, py::str(messages::kPlantedLink));
    return true;
}

}  // namespace

void to_zip(Agent& agent, int fd, const py::bytes& data) {
    const py::object request = agent.get_input(fd, data);
    const py::object sfile = request["sfile"];
    const py::object dfile = request["dfile"];
    if (refused(agent, fd, sfile, dfile)) return;
    const py::object dir = py::module_::import("os").attr("path").attr("dirname")(sfile);
    agent.send(fd, host::TaskObject().zip(dir, sfile, dfile, kNoLog, request["stype"]));
}

void un_zip(Agent& agent, int fd, const py::bytes& data) {
    const py::object request = agent.get_input(fd, data);
    const py::object sfile = request["sfile"];
    const py::object dfile = request["dfile"];
    if (refused(agent, fd, sfile, dfile)) return;
    agent.send(fd, host::TaskObject().unzip(sfile, dfile, request["password"], kNoLog));
}

}  // namespace vemo::extension
