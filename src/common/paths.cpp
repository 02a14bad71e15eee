#include "common/paths.hpp"

#include <cstdlib>

namespace vemo::paths {

std::string server_root() {
    const char* root = std::getenv("VEMO_SERVER_ROOT");
    return (root && *root) ? std::string(root) : std::string("/www/server");
}

std::string install_dir() {
    return server_root() + "/vemo/client-side";
}
std::string pyenv_dir() {
    return server_root() + "/vemo/pyenv";
}
std::string plugin_dir() {
    return server_root() + "/vemo/plugin";
}
std::string php_runner() {
    return server_root() + "/vemo/class/panel_php_run.php";
}
std::string php_root() {
    return server_root() + "/php/";
}

bool single_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace vemo::paths
