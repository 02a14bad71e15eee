// Which plugins are installed: every directory under plugin/ that holds
// an info.json, whose parsed content the master receives unchanged.
#include "client/extension/extension.hpp"
#include "client/messages.hpp"
#include "common/fs.hpp"
#include "common/paths.hpp"
#include "common/host.hpp"

namespace vemo::extension {
namespace {

const std::string kPluginDir = "plugin/";

py::object read_info(const std::string& path) {
    return json_loads(host::panel().read_file(fs::to_text(path)));
}

}  // namespace

void get_plugin_list(Agent& agent, int fd, const py::object&) {
    py::list plugins;
    for (const std::string& p_name : fs::list_directory(kPluginDir)) {
        const std::string p_path = kPluginDir + p_name;
        const std::string p_info = p_path + "/info.json";
        if (!fs::is_directory(p_path) || !fs::exists(p_info)) continue;
        plugins.append(read_info(p_info));
    }
    agent.send(fd, plugins);
}

void plugin_is_isntalled(Agent& agent, int fd, const py::bytes& data) {
    const py::object request = agent.get_input(fd, data);
    const std::string p_name = fs::to_path(request["p_name"]);
    const std::string p_path = kPluginDir + p_name + "/info.json";
    // A plugin is a directory right under plugin/; a name that is a path,
    // or names plugin/ itself or its parent, is never an installed plugin.
    if (!paths::single_name(p_name) || !fs::exists(p_path)) {
        agent._error(fd, py::str(messages::kNotInstalled));
        return;
    }
    agent._success(fd, read_info(p_path)["versions"]);
}

}  // namespace vemo::extension
