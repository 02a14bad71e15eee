// Every call the agent's modules make into the host: the panel's own Python
// modules (public, rsa_aes, panelTask, sock_client, ZQ_VEMO), the objects
// they hand out, and plugin code.  Nothing else in the agent looks a host
// name up; a new call is one declaration here, one function in the host's
// stand-in (host/), and one test.
//
// Each call is declared under a line
//     // host: <what it calls> | threads: <who may call it>
// from which tools/host_contract.py writes the table of docs/host.md.
// Threads: "loop" is the interpreter's main thread running the agent's
// loop, "file pool" the threads serving file requests, "host-work" the one
// thread running host code in arrival order, "plugin code" whichever thread
// runs a plugin (host-work inside the agent), "any" all of them.  Every
// call holds the interpreter lock, as any Python code does; a host function
// reachable from several threads must be re-entrant.
//
// Values are passed as the host gets and gives them: the host's replies go
// back to masters unchanged, so they stay Python objects.
#pragma once

#include "common/pybind.hpp"

#include <string>

namespace vemo::host {

// A database table of the panel's helper (public.M), and the queries made
// of it.  Each query answers a new query object or the rows.
class Table {
public:
    explicit Table(py::object table) : table_(std::move(table)) {}

    // host: public.M.where | threads: loop, host-work, plugin code
    Table where(const char* condition, const py::tuple& params) const {
        return Table(table_.attr("where")(condition, params));
    }
    // host: public.M.count | threads: loop, host-work, plugin code
    bool has_rows() const { return py::bool_(table_.attr("count")()); }
    // host: public.M.find | threads: host-work, plugin code
    py::object find() const { return table_.attr("find")(); }
    // host: public.M.select | threads: loop, host-work, plugin code
    py::object select() const { return table_.attr("select")(); }
    // host: public.M.insert | threads: loop, host-work, plugin code
    void insert(const py::dict& row) const { table_.attr("insert")(row); }
    // host: public.M.delete | threads: host-work, plugin code
    void remove() const { table_.attr("delete")(); }
    // host: public.M.execute | threads: loop, host-work, plugin code
    void execute(const char* sql) const { table_.attr("execute")(sql, py::tuple()); }

private:
    py::object table_;
};

// The panel's helper module `public`.
class Public {
public:
    // The module as imported now, so that a replaced module is honoured.
    Public() : module_(py::module_::import("public")) {}
    // A module object standing for it (the PHP bridge's global `public`,
    // which plugin code may replace).
    explicit Public(py::object module) : module_(std::move(module)) {}

    // host: public.returnMsg | threads: any
    py::object return_msg(bool status, const py::handle& msg) const {
        return module_.attr("returnMsg")(status, msg);
    }
    // host: public.get_error_info | threads: any
    // The helper's traceback text of `error`, made the exception being
    // handled for the duration of the call.
    std::string error_info(py::error_already_set& error) const;
    // host: public.readFile | threads: loop, host-work, plugin code
    // The file's text, or False when it cannot be read.
    py::object read_file(const py::str& path) const { return module_.attr("readFile")(path); }
    // host: public.writeFile | threads: loop, plugin code
    // False only when the helper answers False (it does not raise).
    bool write_file(const py::str& path, const py::object& data, const char* mode = "w+") const {
        return module_.attr("writeFile")(path, data, mode).ptr() != Py_False;
    }
    // host: public.dict_obj | threads: file pool, host-work
    // An empty request object: read by key and as attributes.
    py::object request_object() const { return module_.attr("dict_obj")(); }
    // host: public.set_mode | threads: file pool
    void set_mode(const py::str& path, const py::handle& mode) const { module_.attr("set_mode")(path, mode); }
    // host: public.set_own | threads: file pool
    void set_own(const py::str& path, const py::handle& user) const { module_.attr("set_own")(path, user); }
    // host: public.get_mode_and_user | threads: file pool
    // A mapping with "mode" and "user".
    py::object mode_and_user(const py::str& path) const { return module_.attr("get_mode_and_user")(path); }
    // host: public.bytes_md5 | threads: file pool
    py::object bytes_md5(const py::bytes& data) const { return module_.attr("bytes_md5")(data); }
    // host: public.file_sha1 | threads: file pool
    py::object file_sha1(const py::str& path) const { return module_.attr("file_sha1")(path); }
    // host: public.path_safe_check | threads: host-work
    // Only the truth of the helper's answer counts.
    bool path_safe(const py::object& text) const { return py::bool_(module_.attr("path_safe_check")(text)); }
    // host: public.mod_reload | threads: host-work
    void mod_reload(const py::object& module) const { module_.attr("mod_reload")(module); }
    // host: public.GetRandomString | threads: plugin code
    py::object random_string(int length) const { return module_.attr("GetRandomString")(length); }
    // host: public.GetClientIp | threads: plugin code
    py::object client_ip() const { return module_.attr("GetClientIp")(); }
    // host: public.M | threads: loop, host-work, plugin code
    // The named table, or the database itself for no name.
    Table table(const py::object& name) const { return Table(module_.attr("M")(name)); }

private:
    py::object module_;
};

inline Public panel() {
    return Public();
}

// The crypto helper (rsa_aes.rsa_aes): seals and opens for every thread,
// so it must be re-entrant.
class Crypto {
public:
    // host: rsa_aes.rsa_aes | threads: loop
    static py::object make() { return py::module_::import("rsa_aes").attr("rsa_aes")(); }
    explicit Crypto(py::object helper) : helper_(std::move(helper)) {}

    // host: rsa_aes.rsa_aes.create_rsa | threads: loop
    void create_rsa() const { helper_.attr("create_rsa")(); }
    // host: rsa_aes.rsa_aes.rsa_decrypt_private | threads: loop, file pool
    py::object rsa_decrypt_private(const py::bytes& data) const {
        return helper_.attr("rsa_decrypt_private")(data);
    }
    // host: rsa_aes.rsa_aes.aes_encrypt | threads: any
    py::bytes aes_encrypt(const py::handle& key, const py::bytes& data) const {
        return helper_.attr("aes_encrypt")(key, data);
    }
    // host: rsa_aes.rsa_aes.aes_decrypt | threads: any
    py::bytes aes_decrypt(const py::handle& key, const py::bytes& data) const {
        return helper_.attr("aes_decrypt")(key, data);
    }

private:
    py::object helper_;
};

// A fresh task object of the panel (panelTask.zq_task) per request: nothing
// kept on one carries over to the next.
class TaskObject {
public:
    // host: panelTask.zq_task | threads: host-work
    TaskObject() : task_(py::module_::import("panelTask").attr("zq_task")()) {}

    // host: panelTask.zq_task._zip | threads: host-work
    py::object zip(const py::object& dir, const py::object& sfile, const py::object& dfile, const char* log,
                   const py::object& stype) const {
        return task_.attr("_zip")(dir, sfile, dfile, log, stype);
    }
    // host: panelTask.zq_task._unzip | threads: host-work
    py::object unzip(const py::object& sfile, const py::object& dfile, const py::object& password,
                     const char* log) const {
        return task_.attr("_unzip")(sfile, dfile, password, log);
    }
    const py::object& object() const { return task_; }

private:
    py::object task_;
};

// The panel's relay client (sock_client.sock_client), one per call.
class RelayClient {
public:
    // host: sock_client.sock_client | threads: host-work
    RelayClient() : client_(py::module_::import("sock_client").attr("sock_client")()) {}

    // host: sock_client.sock_client.connect | threads: host-work
    // Connects with `token` as the other agent's key.
    void connect(const py::object& token, const py::object& host, const py::object& port) const;
    const py::object& object() const { return client_; }

private:
    py::object client_;
};

// host: import <host module> | threads: loop
// A host module by name, for a module of the agent that loads it ahead of
// use or hands it on to its own Python code as a global.
inline py::module_ module_named(const char* name) {
    return py::module_::import(name);
}

// host: builtins.getattr <operation> | threads: host-work
// The operation `name` names on a host object, or None when it has no such
// attribute.  The interpreter's own hasattr decides, so a name that is not
// text fails the request instead of counting as absent.
py::object operation_named(const py::object& target, const py::object& name);

// host: import <entry module> | threads: host-work
// A plugin's entry module, imported by its bare name.
py::object import_plugin(const py::str& name);

// host: <entry module>.<class>() | threads: host-work
// A fresh object of the class named like the plugin's entry module.
inline py::object plugin_object(const py::object& module, const py::str& class_name) {
    return module.attr(class_name)();
}

// host: import <worker>, <worker>.run | threads: loop, host-work, plugin code
// The `run` function of the worker module `name` (from threads/); a module
// already loaded under that name is used as it is.
inline py::object worker_run(const py::object& name) {
    return py::module_::import("importlib").attr("import_module")(name).attr("run");
}

// host: ZQ_VEMO.request | threads: plugin code
// The web application's current request; an ImportError outside one, as
// the plain import gives.
py::object web_request();

// host: <web request>.args.to_dict | threads: plugin code
// The web request's query fields, as a mapping.
inline py::object query_fields(const py::object& request) {
    return request.attr("args").attr("to_dict")();
}
// host: <web request>.form.to_dict | threads: plugin code
// The web request's form fields, as a mapping.
inline py::object form_fields(const py::object& request) {
    return request.attr("form").attr("to_dict")();
}

}  // namespace vemo::host
