#include "common/pybind.hpp"

#include "common/errors.hpp"
#include "common/fs.hpp"
#include "common/paths.hpp"
#include "scriptor/scriptor.hpp"

namespace vemo::scriptor {

namespace {

// Newest first: a plugin that names no versions gets the newest installed.
constexpr const char* kDefaultVersions[] = {"80", "74", "73", "72", "71", "70", "56", "55", "54", "53", "52"};

// The plugin's own preference from php_version.json ("7.4" and "74" alike),
// which replaces the default order entirely.
py::object preferred_versions(const std::string& plugin_path) {
    const std::string listed = plugin_path + "/php_version.json";
    if (!fs::exists(listed))
        return py::cast(std::vector<std::string>(std::begin(kDefaultVersions), std::end(kDefaultVersions)));
    py::object text = module_public().read_file(fs::to_text(listed));
    return module_global("json").attr("loads")(text.attr("replace")(".", ""));
}

// The first version whose executable exists, or None.  Joining to the path
// as text makes a non-text entry fail loudly rather than name a directory.
py::object installed_version(const py::object& versions) {
    const py::str php_root = fs::to_text(paths::php_root());
    for (py::handle version : versions) {
        py::object executable = php_root + py::reinterpret_borrow<py::object>(version) + py::str("/bin/php");
        if (fs::exists(fs::to_path(executable))) return py::reinterpret_borrow<py::object>(version);
    }
    return py::none();
}

// The version's php.ini with every disable_functions setting emptied:
// plugin PHP code needs the functions the panel's own sites are denied.
void make_plugin_ini(const std::string& version, const std::string& plugin_ini) {
    fs::copy_with_mode(paths::php_root() + version + "/etc/php.ini", plugin_ini);
    const host::Public pub = module_public();
    try {
        const py::str ini_text = fs::to_text(plugin_ini);
        py::object body = pub.read_file(ini_text);
        body = module_global("re").attr("sub")("disable_functions\\s*=.*", "disable_functions = ", body);
        if (!pub.write_file(ini_text, body)) {
            PyErr_Format(PyExc_OSError, "cannot write %s", plugin_ini.c_str());
            throw py::error_already_set();
        }
    } catch (...) {
        // The copy is never refreshed once present, so an unrewritten one
        // must not stay behind.
        try {
            fs::remove_entry(AT_FDCWD, plugin_ini);
        } catch (const IoError&) {
        }
        throw;
    }
}

}  // namespace

py::object get_php_bin(py::object self) {
    const std::string plugin_path = attr_text(self, kPluginPath);
    py::object chosen = installed_version(preferred_versions(plugin_path));
    if (!py::bool_(chosen)) return py::bool_(false);
    const std::string version = fs::to_path(chosen);
    const std::string plugin_ini = plugin_path + "/php_cli_" + version + ".ini";
    if (!fs::exists(plugin_ini)) make_plugin_ini(version, plugin_ini);
    return fs::to_text(shell_word(paths::php_root() + version + "/bin/php") + " -c " +
                       shell_word(plugin_ini));
}

}  // namespace vemo::scriptor
