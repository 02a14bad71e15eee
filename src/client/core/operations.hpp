// Every message type a master can send: its number, the agent operation it
// reaches, the handler bound under that name, the keys that handler reads
// and how the protocol doc describes it.  The bindings, the frame reader
// and the fuzzer read this one table; the master's type list and the doc's
// table of types are generated from it (module attribute `operations`,
// tools/generate_operations.py), so a type cannot be added, renamed or
// dropped in one place only.
#pragma once

#include <initializer_list>

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
    // The keys of the JSON object the handler reads, from which the fuzzer
    // builds its requests.  Type 7 reads a bare path instead; the "x" of
    // type 1 is read by nothing and that of type 10 by the fuzzer's plugin.
    std::initializer_list<const char*> keys;
    // The "request" and "reply" columns of docs/protocol.md, in Markdown.
    const char* request;
    const char* reply;
};

inline constexpr int kKeyExchange = 0;
inline constexpr int kHeartbeat = 16;

inline constexpr Operation kOperations[] = {
    {0,
     "on_password",
     bind_operation<&Agent::on_password>,
     {},
     "the RSA-wrapped key, not sealed",
     "plain `True`, or a plain result"},
    {1, "on_json", nullptr, {"x"}, "anything", "a failure report: the agent has no such operation"},
    {2,
     "on_file",
     bind_operation<&files::on_file>,
     {"f_path", "f_name", "f_size", "f_pos", "f_mode", "f_user", "f_md5"},
     "`f_path` (path of the directory), `f_name` (string), `f_size` (integer), `f_md5` (string; may be left "
     "out when `f_size` is 0), opt. `f_pos` (integer), opt. `f_mode` (octal digits, string or integer) with "
     "`f_user` (account name); the file's raw bytes follow the frame",
     "result"},
    {3,
     "on_check_file_upload",
     bind_operation<&files::on_check_file_upload>,
     {"f_path", "f_name", "f_size", "f_md5"},
     "`f_path`, `f_name`, `f_size`, `f_md5` as for type 2",
     "`-2` in place, `-1` start at 0, or the offset to resume from"},
    {4,
     "on_download",
     bind_operation<&files::on_download>,
     {"filename", "f_pos"},
     "`filename` (path), opt. `f_pos` (integer, 0 or more)",
     "download header, then raw bytes (see Downloads)"},
    {5,
     "create_dir",
     bind_operation<&files::create_dir>,
     {"path", "mode", "user"},
     "`path`, opt. `mode` (octal digits), opt. `user` (account name)",
     "`1`"},
    {6,
     "set_file_mode",
     nullptr,
     {"path", "mode", "user"},
     "`path`, opt. `mode` (octal digits), opt. `user` (account name)",
     "`1` done, `0` the path is missing or leads through a planted link"},
    {7,
     "get_file_list",
     bind_operation<&files::get_file_list>,
     {},
     "the directory's path as a JSON string, not an object",
     R"(`{"dirs": [record...], "files": [record...]}`)"},
    {8,
     "check_file_sha1",
     bind_operation<&files::check_file_sha1>,
     {"f_name", "f_sha1"},
     "`f_name` (path), `f_sha1` (lower-case hex)",
     "`1` equal, `-1` missing, not a regular file, or different"},
    {9,
     "get_plugin_list",
     bind_operation<&extension::get_plugin_list>,
     {},
     "none (payload ignored)",
     "JSON array of every installed plugin's `info.json`"},
    {10,
     "plugin",
     bind_operation<&extension::plugin>,
     {"p_name", "p_fun", "x"},
     "`p_name`, `p_fun` (strings), anything the plugin reads",
     "the plugin method's return value"},
    {11,
     "plugin_is_isntalled",
     bind_operation<&extension::plugin_is_isntalled>,
     {"p_name"},
     "`p_name`",
     "result whose `msg` is the `versions` of the plugin's `info.json`"},
    {12,
     "reload_mod",
     bind_operation<&extension::reload_mod>,
     {"name"},
     "opt. `name` (a module name); sealed `{}` for none",
     "result when `name` is a loaded module; otherwise `[[name, reloaded], ...]` for every module of the "
     "agent's own"},
    {13,
     "install_mod",
     bind_operation<&extension::install_mod>,
     {"name", "args"},
     "`name` (package), opt. `args` (further installer command-line text)",
     "result"},
    {14,
     "uninstall_mod",
     bind_operation<&extension::uninstall_mod>,
     {"name", "args"},
     "`name`, opt. `args`",
     "result"},
    {15,
     "mod_list",
     bind_operation<&extension::mod_list>,
     {},
     "none (payload ignored)",
     "`[[name, version], ...]` of the private environment"},
    {kHeartbeat, "heartbeat", nullptr, {}, "none (payload ignored)", "`1`"},
    {17,
     "other_sock",
     bind_operation<&extension::other_sock>,
     {"fun", "token", "host", "port", "args"},
     "`host`, `port`, `token` (that agent's public key, PEM text), `fun` (an operation of the relay client: "
     "`heartbeat`, `get_file_list`, `check_file_sha1`, `create_dir`, `set_file_mode`, `get_plugin_list`, "
     "`plugin_is_isntalled`, `plugin`, `mod_list`, `warden`, `task_admin`), `args` (object: that operation's "
     "named arguments)",
     "the other agent's answer, passed on"},
    {18,
     "to_zip",
     bind_operation<&extension::to_zip>,
     {"sfile", "dfile", "stype"},
     "`sfile` (path to pack), `dfile` (archive path), `stype` (`zip`, `tar.gz` or `tar`)",
     "result"},
    {19,
     "un_zip",
     bind_operation<&extension::un_zip>,
     {"sfile", "dfile", "password"},
     R"(`sfile` (archive path), `dfile` (directory), `password` (string, `""` for none))",
     "result"},
    {20,
     "warden",
     bind_operation<&extension::warden>,
     {"fun", "name", "id"},
     "`fun` (`create_thread`, `create_tmp_thread`, `remove_thread`, `get_thread_list`, `run_thread`) plus "
     "that operation's keys (`docs/workers.md`)",
     "result, or the array of workers"},
    {21,
     "task_admin",
     bind_operation<&extension::task_admin>,
     {"fun", "id", "type"},
     "`fun` (`add_task`, `get_task_list`, `get_task`, `remove_task`) plus its keys",
     "result, a task, or the array of tasks"},
};

inline constexpr int kTypeCount = static_cast<int>(sizeof kOperations / sizeof kOperations[0]);

// The reader indexes the table by type.
constexpr bool types_are_positions() {
    for (int i = 0; i < kTypeCount; ++i)
        if (kOperations[i].type != i) return false;
    return true;
}
static_assert(types_are_positions(), "kOperations must list types 0, 1, 2, ... in order");

// The protocol doc's table of types is generated from these texts, and a
// left-out field would silently read as null.
constexpr bool types_are_documented() {
    for (const Operation& op : kOperations)
        if (!op.request || !*op.request || !op.reply || !*op.reply) return false;
    return true;
}
static_assert(types_are_documented(), "every kOperations entry needs its request and reply texts");

}  // namespace vemo
