// Operations of the worker registry and of the panel's task queue, called
// by the name the master sends, with the whole request as the argument.
#include "client/extension/extension.hpp"
#include "client/messages.hpp"

namespace vemo::extension {
namespace {

void call_named(Agent& agent, int fd, const py::object& target, const py::object& request) {
    const py::object operation = named_operation(target, request["fun"]);
    if (operation.is_none()) {
        agent.send(fd, return_msg(false, messages::kNoSuchOperation));
        return;
    }
    agent.send(fd, operation(request));
}

}  // namespace

void warden(Agent& agent, int fd, const py::bytes& data) {
    const py::object request = agent.get_input(fd, data);
    call_named(agent, fd, agent.threads, request);
}

// A fresh task object per request: nothing the panel keeps on it carries
// over from one request to the next.
void task_admin(Agent& agent, int fd, const py::bytes& data) {
    const py::object request = agent.get_input(fd, data);
    const py::object t_obj = py::module_::import("panelTask").attr("zq_task")();
    call_named(agent, fd, t_obj, request);
}

}  // namespace vemo::extension
