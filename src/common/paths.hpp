// Absolute paths of the system.  Every one of them starts with the server
// root, which is /www/server unless VEMO_SERVER_ROOT says otherwise.
#pragma once

#include <string>

namespace vemo::paths {

std::string server_root();
std::string install_dir();  // <root>/vemo/client-side
std::string pyenv_dir();    // <root>/vemo/pyenv
std::string plugin_dir();   // <root>/vemo/plugin
std::string php_runner();   // <root>/vemo/class/panel_php_run.php
std::string php_root();     // <root>/php/

// True for a name that denotes one entry directly inside a directory: not
// empty, not "." or "..", no "/".  Plugin names must be such names.
bool single_name(const std::string& name);

}  // namespace vemo::paths
