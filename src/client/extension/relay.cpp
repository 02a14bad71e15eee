// Calling another agent on the master's behalf through the panel's relay
// client.  The client is dropped, not kept, when the call is answered.
#include "client/extension/extension.hpp"
#include "client/messages.hpp"
#include "common/host.hpp"

namespace vemo::extension {
namespace {

// The request's `args` object as named arguments, in its key order.
py::dict named_arguments(const py::object& args) {
    if (!py::isinstance<py::dict>(args)) throw py::type_error("args must be a JSON object");
    return py::reinterpret_borrow<py::dict>(args);
}

}  // namespace

void other_sock(Agent& agent, int fd, const py::bytes& data) {
    const py::object request = agent.get_input(fd, data);
    const host::RelayClient client;
    const py::object operation = host::operation_named(client.object(), request["fun"]);
    if (operation.is_none()) {
        agent._error(fd, py::str(messages::kRelayNoOperation));
        return;
    }
    client.connect(request["token"], request["host"], request["port"]);
    agent.send(fd, operation(**named_arguments(request["args"])));
}

}  // namespace vemo::extension
