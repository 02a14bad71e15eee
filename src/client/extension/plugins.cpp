// Calling one method of an installed plugin.  The plugin's entry module is
// imported by its bare name and reloaded on every call, so a plugin
// updated on disk takes effect without restarting the agent.
#include "client/extension/extension.hpp"
#include "client/messages.hpp"
#include "common/fs.hpp"
#include "common/host.hpp"

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
    const host::Public panel;
    if (!panel.path_safe(pair)) {
        agent._error(fd, py::str(messages::kRestrictedArguments));
        return;
    }
    // Appended on every call, found after everything already on the path.
    py::module_::import("sys").attr("path").attr("append")(fs::to_text(p_path));
    const py::object module = host::import_plugin(fs::to_text(plugin_main));
    panel.mod_reload(module);
    const py::object plu = host::plugin_object(module, fs::to_text(plugin_main));

    const py::object method = host::operation_named(plu, p_fun);
    if (method.is_none()) {
        agent._error(fd, py::str(messages::kNoSuchOperation));
        return;
    }
    agent.send(fd, method(request));
}

}  // namespace vemo::extension
