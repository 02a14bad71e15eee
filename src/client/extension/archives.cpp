// Packing and unpacking archives is the panel's task object's work; the
// agent hands the request over and relays the answer unchanged.
#include "client/extension/extension.hpp"

namespace vemo::extension {
namespace {

// Both calls name no log of their own.
const char* const kNoLog = "/dev/null";

py::object task_object() {
    return py::module_::import("panelTask").attr("zq_task")();
}

}  // namespace

void to_zip(Agent& agent, int fd, const py::bytes& data) {
    const py::object request = agent.get_input(fd, data);
    const py::object sfile = request["sfile"];
    const py::object dir = py::module_::import("os").attr("path").attr("dirname")(sfile);
    agent.send(fd, task_object().attr("_zip")(dir, sfile, request["dfile"], kNoLog, request["stype"]));
}

void un_zip(Agent& agent, int fd, const py::bytes& data) {
    const py::object request = agent.get_input(fd, data);
    agent.send(fd,
               task_object().attr("_unzip")(request["sfile"], request["dfile"], request["password"], kNoLog));
}

}  // namespace vemo::extension
