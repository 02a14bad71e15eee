// Calling one method of an installed plugin.  The plugin's entry module is
// imported by its bare name and reloaded on every call, so a plugin
// updated on disk takes effect without restarting the agent.
#include "client/extension/extension.hpp"
#include "client/messages.hpp"
#include "common/fs.hpp"

namespace vemo::extension {
namespace {

bool entry_file_exists(const std::string& stem) {
    return fs::exists(stem + ".py") || fs::exists(stem + ".so");
}

// The entry module's name, `_client` before `_main`; empty when the
// plugin has neither.  Only the name is chosen here: the import system
// decides which file it loads.
std::string entry_module(const std::string& p_path, const std::string& p_name) {
    for (const char* suffix : {"_client", "_main"}) {
        if (entry_file_exists(p_path + "/" + p_name + suffix)) return p_name + suffix;
    }
    return {};
}

py::object import_by_name(const std::string& name) {
    PyObject* module = PyImport_Import(fs::to_text(name).ptr());
    if (!module) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(module);
}

// The panel's checks answer with any value; only its truth counts.
bool truthy(const py::object& value) {
    const int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
}

}  // namespace

void plugin(Agent& agent, int fd, const py::bytes& data) {
    const py::object request = agent.get_input(fd, data);
    const py::object p_name = request["p_name"].attr("strip")();
    const py::object p_fun = request["p_fun"].attr("strip")();
    const std::string name = fs::to_path(p_name);
    const std::string p_path = "plugin/" + name;

    const std::string plugin_main = entry_module(p_path, name);
    if (plugin_main.empty()) {
        agent._error(fd, py::str(messages::kNoSuchPlugin));
        return;
    }
    const py::object pair = p_name + py::str("/") + p_fun;
    if (!truthy(host_public().attr("path_safe_check")(pair))) {
        agent._error(fd, py::str(messages::kRestrictedArguments));
        return;
    }
    // Appended on every call, found after everything already on the path.
    py::module_::import("sys").attr("path").attr("append")(fs::to_text(p_path));
    py::object module = import_by_name(plugin_main);
    host_public().attr("mod_reload")(module);
    const py::object plu = module.attr(fs::to_text(plugin_main))();

    const py::object method = named_operation(plu, p_fun);
    if (method.is_none()) {
        agent._error(fd, py::str(messages::kNoSuchOperation));
        return;
    }
    agent.send(fd, method(request));
}

}  // namespace vemo::extension
