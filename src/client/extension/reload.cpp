// Picking up changed code without a restart: one named module, or every
// loaded module that the agent's side of the server provides.
#include "client/extension/extension.hpp"
#include "client/messages.hpp"
#include "common/errors.hpp"

namespace vemo::extension {
namespace {

// Where the running interpreter keeps its standard library and its
// installed packages.  Reloading those reloads the import machinery
// itself and leaves every later import of the agent broken, so the walk
// leaves them alone as it leaves the private environment alone.
py::list interpreter_dirs() {
    const py::module_ sys = py::module_::import("sys");
    const py::module_ site = py::module_::import("site");
    const py::object realpath = py::module_::import("os").attr("path").attr("realpath");
    py::list dirs;
    for (const char* prefix : {"prefix", "base_prefix", "exec_prefix", "base_exec_prefix"})
        dirs.append(realpath(sys.attr(prefix)));
    if (py::hasattr(site, "getsitepackages")) {
        for (const auto& dir : site.attr("getsitepackages")()) dirs.append(realpath(dir));
    }
    dirs.append(realpath(site.attr("getusersitepackages")()));
    return dirs;
}

bool inside_any(const py::object& file, const py::list& dirs) {
    const py::object os_path = py::module_::import("os").attr("path");
    const py::object real = os_path.attr("realpath")(file);
    for (const auto& dir : dirs) {
        const py::object root = py::reinterpret_borrow<py::object>(dir);
        if (real.equal(root) || real.attr("startswith")(root + os_path.attr("sep")).cast<bool>()) return true;
    }
    return false;
}

bool reloadable(const py::object& name, const py::object& module, const py::list& dirs) {
    if (name.equal(py::str("__main__"))) return false;
    const py::object file = py::getattr(module, "__file__", py::none());
    if (file.is_none() || !py::isinstance<py::str>(file) || py::len(file) == 0) return false;
    if (file.contains("pyenv/")) return false;
    return !inside_any(file, dirs);
}

// True when the module's code ran again; anything it raised counts as a
// failed reload, except an interrupt meant for the agent.
bool reload_one(const py::object& reload, const py::object& module) {
    try {
        reload(module);
        return true;
    } catch (py::error_already_set& e) {
        if (is_interrupt(e)) throw;
        return false;
    }
}

}  // namespace

void reload_mod(Agent& agent, int fd, const py::bytes& data) {
    const py::object request = agent.get_input(fd, data);
    const py::dict loaded = py::module_::import("sys").attr("modules");
    const py::object reload = py::module_::import("importlib").attr("reload");
    if (request.contains("name")) {
        const py::object name = request["name"];
        if (loaded.contains(name)) {
            reload(loaded[name]);
            agent._success(fd, py::str(messages::kModuleReloaded));
            return;
        }
    }
    const py::list dirs = interpreter_dirs();
    py::list modules;
    // Modules first loaded by a reload are not part of this walk.
    for (const auto& name : py::list(loaded.attr("keys")())) {
        if (!loaded.contains(name)) continue;
        const py::object module = loaded[name];
        if (!reloadable(py::reinterpret_borrow<py::object>(name), module, dirs)) continue;
        modules.append(py::make_tuple(name, reload_one(reload, module)));
    }
    agent.send(fd, modules);
}

}  // namespace vemo::extension
