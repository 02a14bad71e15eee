// The extension service: operations the master reaches by message type,
// each a free function over the agent, bound as the agent's method of the
// same name.  `data` is the frame payload as received.
#pragma once

#include <string>

#include "client/agent.hpp"

namespace vemo::extension {

// Plugin catalogue.
void get_plugin_list(Agent& agent, int fd, const py::object& data);
void plugin_is_isntalled(Agent& agent, int fd, const py::bytes& data);

// Plugin invocation.
void plugin(Agent& agent, int fd, const py::bytes& data);

// Packages of the private interpreter environment.
void install_mod(Agent& agent, int fd, const py::bytes& data);
void uninstall_mod(Agent& agent, int fd, const py::bytes& data);
void mod_list(Agent& agent, int fd, const py::object& data);

// Module reload.
void reload_mod(Agent& agent, int fd, const py::bytes& data);

// Worker registry and the panel's task queue.
void warden(Agent& agent, int fd, const py::bytes& data);
void task_admin(Agent& agent, int fd, const py::bytes& data);

// Archives, packed and unpacked by the panel's task object.
void to_zip(Agent& agent, int fd, const py::bytes& data);
void un_zip(Agent& agent, int fd, const py::bytes& data);

// Calls on another agent through the panel's relay client.
void other_sock(Agent& agent, int fd, const py::bytes& data);

// The operation `fun` names on `target`, or nothing when the target has no
// such attribute.  The interpreter's own hasattr decides, so a name that
// is not text fails the request instead of counting as absent.
py::object named_operation(const py::object& target, const py::object& fun);

// The text the master sees when a named operation does not exist.
inline const char* const kNoSuchOperation = "指定方法不存在!";

}  // namespace vemo::extension
