// Operations of the worker registry and of the panel's task queue, called
// by the name the master sends, with the whole request as the argument.
#include "client/extension/extension.hpp"
#include "client/messages.hpp"
#include "common/host.hpp"

namespace vemo::extension {
namespace {

void call_named(Agent& agent, int fd, const py::object& target, const py::object& request) {
    const py::object operation = host::operation_named(target, request["fun"]);
    if (operation.is_none()) {
        agent.send(fd, host::panel().return_msg(false, py::str(messages::kNoSuchOperation)));
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
    call_named(agent, fd, host::TaskObject().object(), request);
}

}  // namespace vemo::extension
