// Module `client`: importing it sets the agent's working directory and
// search path and loads the host modules; it starts nothing.
#include "common/pybind.hpp"

#include "client/core/agent.hpp"
#include "client/core/connection.hpp"
#include "client/core/listener.hpp"
#include "client/core/operations.hpp"
#include "client/core/selector.hpp"
#include "common/errors.hpp"
#include "common/host.hpp"

PYBIND11_MODULE(client, m) {
    for (const char* name : {"socket", "json", "sys", "os", "ssl", "struct", "re", "time", "pwd", "importlib",
                             "gzip", "selectors"})
        py::module_::import(name);
    vemo::enter_install_dir();
    vemo::prepend_search_path("class/");
    for (const char* name : {"rsa_aes", "public", "warden"}) vemo::host::module_named(name);

    vemo::register_error_translation();
    vemo::bind_connection(m);
    vemo::bind_selector(m);
    vemo::bind_listener(m);
    vemo::bind_jobs(m);
    vemo::bind_agent(m);

    // (type, operation, keys, request, reply, refused, code, failure)
    // exactly as the reader dispatches them, for the generator of the
    // master's type list and the protocol doc's two tables, and for tests
    // that must agree with it.
    py::list operations;
    for (const vemo::Operation& op : vemo::kOperations) {
        py::list keys;
        for (const char* key : op.keys) keys.append(key);
        operations.append(py::make_tuple(op.type, op.name, py::tuple(keys), op.request, op.reply, op.refused,
                                         op.code, op.failure));
    }
    m.attr("operations") = py::tuple(operations);
}
