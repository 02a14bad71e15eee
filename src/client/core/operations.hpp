// Every message type a master can send: its number, the agent operation it
// reaches and the handler bound under that name.  The bindings, the frame
// reader, the module attribute `operations` and the fuzzer all read this
// one table, so a type cannot be added, renamed or dropped in one place
// only.
#pragma once

#include "client/core/agent.hpp"

namespace vemo {

using AgentClass = py::class_<Agent>;

// The handlers, each a free function over the agent.  `data` is the frame
// payload as received.
namespace files {
void on_check_file_upload(Agent& agent, int fd, const py::bytes& data);
void on_file(Agent& agent, int fd, const py::bytes& data);
void on_download(Agent& agent, int fd, const py::bytes& data);
void check_file_sha1(Agent& agent, int fd, const py::bytes& data);
void get_file_list(Agent& agent, int fd, const py::bytes& data);
void create_dir(Agent& agent, int fd, const py::bytes& data);
// Also called by the panel with local=true: bound by hand.
py::object set_file_mode(Agent& agent, int fd, const py::object& data, bool local);
}  // namespace files

namespace extension {
// Plugins: the catalogue, one plugin's state, a call into one.
void get_plugin_list(Agent& agent, int fd, const py::object& data);
void plugin_is_isntalled(Agent& agent, int fd, const py::bytes& data);
void plugin(Agent& agent, int fd, const py::bytes& data);
// Packages of the private interpreter environment.
void install_mod(Agent& agent, int fd, const py::bytes& data);
void uninstall_mod(Agent& agent, int fd, const py::bytes& data);
void mod_list(Agent& agent, int fd, const py::object& data);
void reload_mod(Agent& agent, int fd, const py::bytes& data);
// Worker registry and the panel's task queue.
void warden(Agent& agent, int fd, const py::bytes& data);
void task_admin(Agent& agent, int fd, const py::bytes& data);
// Archives, packed and unpacked by the panel's task object.
void to_zip(Agent& agent, int fd, const py::bytes& data);
void un_zip(Agent& agent, int fd, const py::bytes& data);
// Calls on another agent through the panel's relay client.
void other_sock(Agent& agent, int fd, const py::bytes& data);
}  // namespace extension

// Binds `Handler` as the agent's method `name`, called as (fd, data).
template <auto Handler>
void bind_operation(AgentClass& cls, const char* name) {
    cls.def(name, Handler, py::arg("fd"), py::arg("data"));
}

struct Operation {
    int type;
    const char* name;
    // Null where no method of the common signature exists: type 1 names
    // an operation the agent does not have (such a frame takes the failure
    // path), the reader answers the heartbeat itself, and set_file_mode
    // takes one argument more.
    void (*bind)(AgentClass&, const char*);
};

inline constexpr int kKeyExchange = 0;
inline constexpr int kHeartbeat = 16;

inline constexpr Operation kOperations[] = {
    {0, "on_password", bind_operation<&Agent::on_password>},
    {1, "on_json", nullptr},
    {2, "on_file", bind_operation<&files::on_file>},
    {3, "on_check_file_upload", bind_operation<&files::on_check_file_upload>},
    {4, "on_download", bind_operation<&files::on_download>},
    {5, "create_dir", bind_operation<&files::create_dir>},
    {6, "set_file_mode", nullptr},
    {7, "get_file_list", bind_operation<&files::get_file_list>},
    {8, "check_file_sha1", bind_operation<&files::check_file_sha1>},
    {9, "get_plugin_list", bind_operation<&extension::get_plugin_list>},
    {10, "plugin", bind_operation<&extension::plugin>},
    {11, "plugin_is_isntalled", bind_operation<&extension::plugin_is_isntalled>},
    {12, "reload_mod", bind_operation<&extension::reload_mod>},
    {13, "install_mod", bind_operation<&extension::install_mod>},
    {14, "uninstall_mod", bind_operation<&extension::uninstall_mod>},
    {15, "mod_list", bind_operation<&extension::mod_list>},
    {kHeartbeat, "heartbeat", nullptr},
    {17, "other_sock", bind_operation<&extension::other_sock>},
    {18, "to_zip", bind_operation<&extension::to_zip>},
    {19, "un_zip", bind_operation<&extension::un_zip>},
    {20, "warden", bind_operation<&extension::warden>},
    {21, "task_admin", bind_operation<&extension::task_admin>},
};

inline constexpr int kTypeCount = static_cast<int>(sizeof kOperations / sizeof kOperations[0]);

// The reader indexes the table by type.
constexpr bool types_are_positions() {
    for (int i = 0; i < kTypeCount; ++i)
        if (kOperations[i].type != i) return false;
    return true;
}
static_assert(types_are_positions(), "kOperations must list types 0, 1, 2, ... in order");

}  // namespace vemo
