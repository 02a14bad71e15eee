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
// Binds get_file_stat(filename), the panel's stat of one name (listing.cpp).
void bind_file_stat(AgentClass& cls);
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
    // The three columns of the doc's "How each type fails": refusals as a
    // result, refusals as a bare code, failure reports (or no reply).  An
    // empty text is an empty cell.
    const char* refused;
    const char* code;
    const char* failure;
};

// Types 13 and 14 run the same installer and refuse alike.
inline constexpr const char* kInstallerRefusal =
    "the installer's output, when it does not report success (without a private environment, the "
    "shell's \"not found\")";

inline constexpr int kKeyExchange = 0;
inline constexpr int kHeartbeat = 16;

inline constexpr Operation kOperations[] = {
    {0,
     "on_password",
     bind_operation<&Agent::on_password>,
     {},
     "the RSA-wrapped key, not sealed",
     "plain `True`, or a plain result",
     "key length not 16, 24 or 32 (plain)",
     "",
     "payload does not decrypt: report on a re-key, connection closed before any key"},
    {1, "on_json", nullptr, {"x"}, "anything", "a failure report: the agent has no such operation",
     "",
     "",
     "always"},
    {2,
     "on_file",
     bind_operation<&files::on_file>,
     {"f_path", "f_name", "f_size", "f_pos", "f_mode", "f_user", "f_md5"},
     "`f_path` (path of the directory), `f_name` (string), `f_size` (integer), `f_md5` (string; may be left "
     "out when `f_size` is 0), opt. `f_pos` (integer), opt. `f_mode` (octal digits, string or integer) with "
     "`f_user` (account name); the file's raw bytes follow the frame",
     "result",
     "`f_mode` not digits or `f_user` not a plain account name; first piece's MD5 is not `f_md5`; "
     "`f_pos` differs from the size of the temp file (0 with none)",
     "",
     R"(the directory cannot be made, `f_path` leads through a refused link (see Links planted by )"
     R"(local users), a write fails (disk full: the temp file goes), `f_mode` )"
     R"(without `f_user`, another upload to the same target in progress (`BlockingIOError: another )"
     R"(upload to '<target>' is in progress`). A header whose byte count cannot be trusted (it does )"
     R"(not open or is not an object; `f_size` missing or not an integer; `f_pos` not an integer, )"
     R"(such as `"0"`, `0.0` or `null`, or below 0) is answered with a failure report naming the )"
     R"(key, and then the connection is closed without reading the raw bytes, since where they end )"
     R"(is unknown (a master still sending them may see the connection reset before it reads the )"
     R"(report). After any other failure the announced bytes are still consumed, so the connection )"
     R"(stays usable. An `f_md5` that is not a string never matches: the result "错误的文件头!", not a )"
     R"(failure report)"},
    {3,
     "on_check_file_upload",
     bind_operation<&files::on_check_file_upload>,
     {"f_path", "f_name", "f_size", "f_md5"},
     "`f_path`, `f_name`, `f_size`, `f_md5` as for type 2",
     "`-2` in place, `-1` start at 0, or the offset to resume from",
     "",
     R"(`-1` covers every "not resumable" case, a directory reached only through a refused link )"
     R"(too. `f_md5` is read only when there is a file to )"
     R"(compare: without it, `-1` when neither target nor temp file exists, else a failure report; )"
     R"(an `f_md5` that is not a string never matches (`-1`, and a temp file is deleted))",
     "an upload to the same target in progress (as for type 2)"},
    {4,
     "on_download",
     bind_operation<&files::on_download>,
     {"filename", "f_pos"},
     "`filename` (path), opt. `f_pos` (integer, 0 or more)",
     "download header, then raw bytes (see Downloads)",
     "file missing, not a regular file, or reached only through a refused link (no raw bytes follow)",
     "",
     "`f_pos` below 0 (`OSError: [Errno 22] Invalid argument`) or not an integer, a file that "
     "cannot be opened for reading (no raw bytes follow); once the header is sent no failure is "
     "reported: a short transfer closes the connection"},
    {5,
     "create_dir",
     bind_operation<&files::create_dir>,
     {"path", "mode", "user"},
     "`path`, opt. `mode` (octal digits), opt. `user` (account name)",
     "`1`",
     "",
     "",
     "the directory cannot be made (a parent is a file: `NotADirectoryError`); `path` leads "
     "through a refused link (nothing is made); `mode` neither text nor an "
     "integer, or `user` not text (checked before anything is made; `null` is as if left out)"},
    {6,
     "set_file_mode",
     nullptr,
     {"path", "mode", "user"},
     "`path`, opt. `mode` (octal digits), opt. `user` (account name)",
     "`1` done, `0` the path is missing or leads through a planted link",
     "",
     "`0` (missing, or reached only through a refused link)",
     "`mode` neither text nor an integer, or `user` not text (nothing is changed; `null` is as if "
     "left out)"},
    {7,
     "get_file_list",
     bind_operation<&files::get_file_list>,
     {},
     "the directory's path as a JSON string, not an object",
     R"(`{"dirs": [record...], "files": [record...]}`)",
     "directory missing, or reached only through a refused link",
     "",
     R"(a path that is not a directory, or an unreadable one; a request that is not a JSON string; a )"
     R"(reply text longer than 64 MiB (`max_reply`, "the listing exceeds the agent's max_reply of N )"
     R"(bytes"))"},
    {8,
     "check_file_sha1",
     bind_operation<&files::check_file_sha1>,
     {"f_name", "f_sha1"},
     "`f_name` (path), `f_sha1` (lower-case hex)",
     "`1` equal, `-1` missing, not a regular file, or different",
     "",
     "`-1` for missing, reached only through a refused link, or different alike, and for an "
     "`f_sha1` that is not a string (it never "
     "equals a digest)",
     "a directory"},
    {9,
     "get_plugin_list",
     bind_operation<&extension::get_plugin_list>,
     {},
     "none (payload ignored)",
     "JSON array of every installed plugin's `info.json`",
     "",
     "",
     "no `plugin/` directory (so on a fresh install, which has none: `FileNotFoundError`), an "
     "`info.json` that is not JSON"},
    {10,
     "plugin",
     bind_operation<&extension::plugin>,
     {"p_name", "p_fun", "x"},
     "`p_name`, `p_fun` (strings), anything the plugin reads",
     "the plugin method's return value",
     R"(checked in this order: no `plugin/<p_name>/<p_name>_client` or `_main` file ("指定插件不存在!", )"
     R"(also for names such as `../x` or `x;y`, which have none); `<p_name>/<p_fun>` outside )"
     R"(`A-Za-z0-9_-./` or holding `..` ("受限的访问参数!"); no such method ("指定方法不存在!"))",
     "",
     "the plugin raised, or returned a value that is not JSON"},
    {11,
     "plugin_is_isntalled",
     bind_operation<&extension::plugin_is_isntalled>,
     {"p_name"},
     "`p_name`",
     "result whose `msg` is the `versions` of the plugin's `info.json`",
     "not installed (also for a name with `/`, `.` or `..`)",
     "",
     "an `info.json` without `versions`"},
    {12,
     "reload_mod",
     bind_operation<&extension::reload_mod>,
     {"name"},
     "opt. `name` (a module name); sealed `{}` for none",
     "result when `name` is a loaded module; otherwise `[[name, reloaded], ...]` for every module of the "
     "agent's own",
     "",
     "",
     "the named module's reload raised (in the walk over all modules a failed reload is `false` in "
     "its pair). A `name` that is no loaded module's, of any JSON type (a number included), is not "
     "refused: every module of the agent's own is reloaded and listed"},
    {13,
     "install_mod",
     bind_operation<&extension::install_mod>,
     {"name", "args"},
     "`name` (package), opt. `args` (further installer command-line text)",
     "result",
     kInstallerRefusal,
     "",
     ""},
    {14,
     "uninstall_mod",
     bind_operation<&extension::uninstall_mod>,
     {"name", "args"},
     "`name`, opt. `args`",
     "result",
     kInstallerRefusal,
     "",
     ""},
    {15,
     "mod_list",
     bind_operation<&extension::mod_list>,
     {},
     "none (payload ignored)",
     "`[[name, version], ...]` of the private environment",
     "",
     "",
     "none: without a private environment (no `<root>/vemo/pyenv/bin/pip`, as on a fresh install) "
     "the answer is `[]`, as for an empty one; `vemoctl pip list` tells the two apart by listing "
     "the directory"},
    {kHeartbeat, "heartbeat", nullptr, {}, "none (payload ignored)", "`1`",
     "",
     "",
     ""},
    {17,
     "other_sock",
     bind_operation<&extension::other_sock>,
     {"fun", "token", "host", "port", "args"},
     "`host`, `port`, `token` (that agent's public key, PEM text), `fun` (an operation of the relay client: "
     "`heartbeat`, `get_file_list`, `check_file_sha1`, `create_dir`, `set_file_mode`, `get_plugin_list`, "
     "`plugin_is_isntalled`, `plugin`, `mod_list`, `warden`, `task_admin`), `args` (object: that operation's "
     "named arguments, see \"Workers, tasks and relays\")",
     "the other agent's answer, passed on",
     "no such relay operation",
     "",
     "the other agent unreachable, refused the key, silent for 10 s (as the agent itself is: it "
     "cannot relay to itself), not done answering within 15 s, or answering more than 16 MiB once "
     "opened (`ReplyTooLarge`); `args` not an object, or lacking or adding a key of the operation "
     "(`TypeError`)"},
    {18,
     "to_zip",
     bind_operation<&extension::to_zip>,
     {"sfile", "dfile", "stype"},
     "`sfile` (path to pack), `dfile` (archive path), `stype` (`zip`, `tar.gz` or `tar`)",
     "result",
     "`sfile` or `dfile` leads through a refused link (`指定路径经过不可信的符号链接!`, and the task "
     "object is not called); every failure of the archive work (no such file, unsupported type)",
     "",
     "a missing key; an `sfile` that is not text"},
    {19,
     "un_zip",
     bind_operation<&extension::un_zip>,
     {"sfile", "dfile", "password"},
     R"(`sfile` (archive path), `dfile` (directory), `password` (string, `""` for none))",
     "result",
     R"(`sfile` or `dfile` leads through a refused link (as for 18); every failure of the archive )"
     R"(work (no such archive, unsafe member, wrong password), also for )"
     R"(`sfile`, `dfile` or `password` of another JSON type than text (e.g. "指定压缩包不存在: 1"))",
     "",
     "a missing key (`password` included)"},
    {20,
     "warden",
     bind_operation<&extension::warden>,
     {"fun", "name", "id"},
     "`fun` (`create_thread`, `create_tmp_thread`, `remove_thread`, `get_thread_list`, `run_thread`) plus "
     "that operation's keys (see \"Workers, tasks and relays\")",
     "result, or the array of workers",
     R"(no such `fun`; a missing `module` (`name`, `args` for the two create operations): "the )"
     R"(request has no 'module'"; the registry's own refusals)",
     "",
     "a request that is not an object"},
    {21,
     "task_admin",
     bind_operation<&extension::task_admin>,
     {"fun", "id", "type"},
     "`fun` (`add_task`, `get_task_list`, `get_task`, `remove_task`) plus its keys (see \"Workers, tasks and "
     "relays\")",
     "result, a task, or the array of tasks",
     R"(no such `fun`; the task object's own refusals, which cover its missing and wrong-typed keys )"
     R"((`add_task` with `{}` is refused "不支持的任务类型: "))",
     "",
     "a request that is not an object"},
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
        if (!op.request || !*op.request || !op.reply || !*op.reply || !op.refused || !op.code || !op.failure)
            return false;
    return true;
}
static_assert(types_are_documented(), "every kOperations entry needs its request, reply and failure texts");

}  // namespace vemo
