// The PHP bridge: plugin code runs one function of its PHP code through the
// PHP command-line interpreter, with the current web request's fields in an
// arguments file and a per-plugin php.ini.
#pragma once

#include "common/pybind.hpp"

#include "common/fs.hpp"
#include "common/host.hpp"

#include <string>
#include <string_view>

namespace vemo::scriptor {

// A global of the module (json, os, public, time, re, request), looked up on
// each use as the module's own Python code would, so that a name replaced on
// the module is honoured.
py::object module_global(const char* name);

// The panel's helper through the module's global `public`.
inline host::Public module_public() {
    return host::Public(module_global("public"));
}

// Instance attributes, under the names the interpreter gives the class's
// private attributes; plugin code reaches them by these names.
inline std::string attr_text(const py::object& self, const char* name) {
    return fs::to_path(py::str(self.attr(name)));
}
constexpr const char* kPluginName = "_scriptor__plugin_name";
constexpr const char* kPluginPath = "_scriptor__plugin_path";
constexpr const char* kArgsDir = "_scriptor__args_dir";
constexpr const char* kArgsTmp = "_scriptor__args_tmp";

// The runner (runner.cpp).
void construct(py::object self, py::object plugin_name);
py::object exec_php_script(py::object self, py::object args);
void write_args(py::object self, py::object args);
py::object clean_args_file(py::object self);

// PHP executable and php.ini (php_select.cpp): the command prefix, or False.
py::object get_php_bin(py::object self);

// `text` as one shell word: unchanged when it holds only characters the
// shell takes literally, quoted otherwise (command.cpp).
std::string shell_word(std::string_view text);

// The shell line that runs `function` of the plugin through the PHP runner
// script, and its standard output (command.cpp).
std::string php_command(const py::object& self, const std::string& php_bin, const std::string& function);
std::string run_php_command(const std::string& command);

}  // namespace vemo::scriptor
