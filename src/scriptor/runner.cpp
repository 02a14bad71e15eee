#include "common/pybind.hpp"

#include "common/errors.hpp"
#include "common/fs.hpp"
#include "common/paths.hpp"
#include "scriptor/messages.hpp"
#include "scriptor/scriptor.hpp"

namespace vemo::scriptor {

namespace {

// Arguments files older than this belong to runs that never finished.
constexpr double kArgsFileLifetime = 60;
constexpr mode_t kArgsDirMode = 0600;

// Plugin code sees a failure name its path, as os.makedirs and os.remove
// would have.
template <class Change>
void naming(const std::string& path, Change&& change) {
    try {
        change();
    } catch (const IoError& e) {
        throw IoError(e.code, path);
    }
}

void remove_named(const std::string& path) {
    naming(path, [&] { fs::remove_entry(AT_FDCWD, path); });
}

}  // namespace

void construct(py::object self, py::object plugin_name) {
    const std::string plugin_path = paths::plugin_dir() + "/" + fs::to_path(py::str(plugin_name));
    const std::string args_dir = plugin_path + "/args";
    const std::string random = fs::to_path(module_public().random_string(32));
    py::setattr(self, kPluginName, plugin_name);
    py::setattr(self, kPluginPath, fs::to_text(plugin_path));
    py::setattr(self, kArgsDir, fs::to_text(args_dir));
    py::setattr(self, kArgsTmp, fs::to_text(args_dir + "/" + random));
    if (!fs::exists(args_dir)) naming(args_dir, [&] { fs::make_dirs(args_dir, kArgsDirMode); });
}

py::object exec_php_script(py::object self, py::object args) {
    const std::string name = attr_text(self, kPluginName);
    // The runner takes the plugin's code from its working directory and
    // refuses a name holding a slash.  Such a name, "." or ".." would also
    // put that directory, the php.ini handed to PHP and the arguments file
    // outside the plugin's own directory: refused before any of them is
    // read, written or run.
    if (!paths::single_name(name))
        return module_public().return_msg(false, fs::to_text("invalid plugin name: " + name));
    py::object php_bin = self.attr("_scriptor__get_php_bin")();
    if (!py::bool_(php_bin)) return module_public().return_msg(false, py::str(messages::kNoPhp));
    self.attr("_scriptor__write_args")(args);
    const std::string function = fs::to_path(py::str(args.attr("s")));
    const std::string command = php_command(self, fs::to_path(py::str(php_bin)), function);
    const std::string output = run_php_command(command);
    py::object result = py::bytes(output).attr("decode")("utf-8");
    try {
        result = module_global("json").attr("loads")(result);
    } catch (py::error_already_set& e) {
        // Output that is not JSON (a PHP warning before the result, say)
        // reaches the plugin as the text it is.
        if (!e.matches(PyExc_Exception)) throw;
    }
    const std::string args_tmp = attr_text(self, kArgsTmp);
    remove_named(args_tmp);
    return result;
}

void write_args(py::object self, py::object) {
    const std::string args_tmp = attr_text(self, kArgsTmp);
    remove_named(args_tmp);
    self.attr("_scriptor__clean_args_file")();
    py::object request = module_global("request");
    const host::Public pub = module_public();
    py::dict fields;
    fields["GET"] = host::query_fields(request);
    fields["POST"] = host::form_fields(request);
    fields["POST"]["client_ip"] = pub.client_ip();
    py::object text = module_global("json").attr("dumps")(fields);
    // The panel's writer answers False instead of raising; the PHP side
    // would otherwise run on a missing or stale arguments file.
    if (!pub.write_file(fs::to_text(args_tmp), text)) {
        PyErr_Format(PyExc_OSError, "cannot write the arguments file %s", args_tmp.c_str());
        throw py::error_already_set();
    }
}

py::object clean_args_file(py::object self) {
    const std::string args_dir = attr_text(self, kPluginPath) + "/args";
    if (!fs::exists(args_dir)) return py::bool_(false);
    const double now = module_global("time").attr("time")().cast<double>();
    for (const std::string& name : fs::list_directory(args_dir)) {
        const std::string filename = args_dir + "/" + name;
        if (fs::exists(filename) && now - fs::change_time(filename) > kArgsFileLifetime) {
            remove_named(filename);
        }
    }
    return py::none();
}

}  // namespace vemo::scriptor
