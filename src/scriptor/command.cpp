#include "common/pybind.hpp"

#include <algorithm>
#include <chrono>
#include <string_view>

#include "common/errors.hpp"
#include "common/paths.hpp"
#include "common/shell.hpp"
#include "scriptor/scriptor.hpp"

namespace vemo::scriptor {

namespace {

// A runner that hangs would hold the plugin's web request for ever; an hour
// is far beyond any PHP function a plugin runs on a request.
constexpr double kPhpRunLimit = 3600;

// Between double quotes the shell still expands these four; a backslash
// makes each one literal, so a value can neither end the quoted word nor
// start a substitution.
std::string double_quoted(std::string_view value) {
    std::string escaped;
    for (const char c : value) {
        if (c == '"' || c == '$' || c == '`' || c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

bool plain_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("_./,:+@%-").find(c) != std::string_view::npos;
}

// The runner's standard error is not part of the result; it goes where the
// host process's own diagnostics go.
void pass_on_diagnostics(const std::string& text) {
    if (text.empty()) return;
    py::object err = py::module_::import("sys").attr("stderr");
    if (!err.is_none()) err.attr("write")(py::bytes(text).attr("decode")("utf-8", "replace"));
}

}  // namespace

std::string shell_word(std::string_view text) {
    if (!text.empty() && std::all_of(text.begin(), text.end(), plain_char)) {
        return std::string(text);
    }
    return shell_quote(text);
}

std::string php_command(const py::object& self, const std::string& php_bin, const std::string& function) {
    return "cd " + shell_word(attr_text(self, kPluginPath)) + " && " + php_bin + " " +
           shell_word(paths::php_runner()) + " --args_tmp=\"" + double_quoted(attr_text(self, kArgsTmp)) +
           "\" --plugin_name=\"" + double_quoted(attr_text(self, kPluginName)) + "\" --fun=\"" +
           double_quoted(function) + "\"";
}

std::string run_php_command(const std::string& command) {
    const auto started = std::chrono::steady_clock::now();
    ShellOutput output;
    {
        py::gil_scoped_release unlocked;
        output = run_shell(command, kPhpRunLimit);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    pass_on_diagnostics(output.err);
    // Cut short, the output is a fragment that must not pass for the result.
    if (took.count() >= kPhpRunLimit) throw StallError("the PHP runner was stopped after an hour");
    return output.out;
}

}  // namespace vemo::scriptor
