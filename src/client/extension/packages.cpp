// Packages of the private interpreter environment, managed by running its
// own installer through the shell and reading what the installer prints.
#include <cctype>
#include <sstream>

#include "client/extension/extension.hpp"
#include "client/messages.hpp"
#include "common/paths.hpp"
#include "common/shell.hpp"

namespace vemo::extension {
namespace {

// An installer that has not finished within an hour is not going to; the
// agent serves no one while it waits.
constexpr double kInstallerLimit = 3600.0;

ShellOutput run_installer(const std::string& arguments) {
    const std::string command = shell_quote(paths::pyenv_dir() + "/bin/pip") + " " + arguments;
    py::gil_scoped_release nogil;
    return run_shell(command, kInstallerLimit);
}

// The request's `name`, trimmed, and stored back trimmed.
std::string trimmed_name(const py::object& request) {
    const py::object name = request["name"].attr("strip")();
    request["name"] = name;
    return py::str(name);
}

// Further installer words, free shell text by design.  A request without
// them adds none, rather than the text of a missing value.
std::string extra_args(const py::object& request) {
    if (!request.contains("args")) return {};
    const py::object args = request["args"];
    return args.is_none() ? std::string() : std::string(py::str(args));
}

// The installer writes some of its verdicts to standard error ("... is not
// installed"), so both streams are searched.
bool mentions(const ShellOutput& output, const std::string& marker) {
    return output.out.find(marker) != std::string::npos || output.err.find(marker) != std::string::npos;
}

// The project name of a requirement ("six" of "six==1.16.0", "a-b" of
// "A_b[x]>=2; python_version>'3'"), in the installer's normal form:
// lower case, runs of "-", "_" and "." as one "-".
std::string project_name(const std::string& requirement) {
    std::string name;
    for (const char c : requirement) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (c == '-' || c == '_' || c == '.') {
            if (!name.empty() && name.back() != '-') name += '-';
        } else {
            break;
        }
    }
    return name;
}

// Whether an installed-distribution word ("Six-1.16.0") is project `name`
// at some version.
bool names_project(const std::string& word, const std::string& name) {
    const size_t dash = word.rfind('-');
    return dash != std::string::npos && dash > 0 && project_name(word.substr(0, dash)) == name;
}

// Whether a line of `text` starting with `marker` lists package `name`.
bool line_lists(const std::string& text, const std::string& marker, const std::string& name) {
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
        const size_t start = at + marker.size();
        std::istringstream words(text.substr(start, text.find('\n', start) - start));
        for (std::string word; words >> word;) {
            if (word.rfind(name, 0) == 0 || names_project(word, project_name(name))) return true;
        }
    }
    return false;
}

// The installer names every package it installed on one line, sorted, so
// the requested one is often not the first: any of them counts. A request
// with a version specifier ("six==1.16.0") is listed by its project name
// and version ("six-1.16.0").
bool lists_installed(const ShellOutput& output, const std::string& name) {
    const std::string marker = "Successfully installed ";
    return mentions(output, marker + name) || line_lists(output.out, marker, name) ||
           line_lists(output.err, marker, name);
}

py::str as_text(const std::string& bytes) {
    return py::bytes(bytes).attr("decode")("utf-8", "replace");
}

py::str reported(const ShellOutput& output) {
    return as_text(output.out + output.err);
}

}  // namespace

void install_mod(Agent& agent, int fd, const py::bytes& data) {
    const py::object request = agent.get_input(fd, data);
    const std::string name = trimmed_name(request);
    const ShellOutput result = run_installer("install " + shell_quote(name) + " " + extra_args(request));
    if (lists_installed(result, name))
        agent._success(fd, py::str(messages::kInstalled));
    else if (mentions(result, "Requirement already satisfied: " + name))
        agent._success(fd, py::str(messages::kAlreadyInstalled));
    else if (mentions(result, "Requirement already up-to-date: " + name))
        agent._success(fd, py::str(messages::kAlreadyLatest));
    else
        agent._error(fd, reported(result));
}

void uninstall_mod(Agent& agent, int fd, const py::bytes& data) {
    const py::object request = agent.get_input(fd, data);
    const std::string name = trimmed_name(request);
    const ShellOutput result =
        run_installer("uninstall " + shell_quote(name) + " " + extra_args(request) + " -y");
    const std::string marker = "Successfully uninstalled ";
    if (mentions(result, marker + name) || line_lists(result.out, marker, name))
        agent._success(fd, py::str(messages::kUninstalled));
    else if (mentions(result, "not installed"))
        agent._success(fd, py::str(messages::kNotInstalled));
    else
        agent._error(fd, reported(result));
}

void mod_list(Agent& agent, int fd, const py::object&) {
    const ShellOutput result = run_installer("list");
    const py::object findall = py::module_::import("re").attr("findall");
    agent.send(fd, findall(R"((\w+)\s+([\d\.]+))", as_text(result.out)));
}

}  // namespace vemo::extension
