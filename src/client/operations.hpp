// Message type -> the agent operation it reaches, shared by the frame
// reader and by the module attribute `operations`, so that the documented
// type table can be checked against the one the reader dispatches on.
#pragma once

namespace vemo {

// Type 1 names an operation the agent does not have; such a frame takes
// the failure path.  The reader answers the heartbeat (16) itself, so that
// name is never looked up on the agent.
inline constexpr const char* kOperations[] = {
    "on_password", "on_json", "on_file", "on_check_file_upload", "on_download",
    "create_dir", "set_file_mode", "get_file_list", "check_file_sha1", "get_plugin_list",
    "plugin", "plugin_is_isntalled", "reload_mod", "install_mod", "uninstall_mod",
    "mod_list", "heartbeat", "other_sock", "to_zip", "un_zip", "warden", "task_admin"};

}  // namespace vemo
