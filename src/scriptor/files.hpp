// File-system changes the bridge makes; queries are in common/fsquery.
// Each failure raises the interpreter's OSError for the path involved, so
// that plugin code sees what a Python implementation would have raised.
#pragma once

#include <string>

namespace vemo::scriptor {

// Creates missing parents (0777) and then `path` itself with `mode`, both
// subject to the umask.
void make_dirs(const std::string& path, unsigned mode);
// Status-change time in seconds, fractional.
double change_time(const std::string& path);
void remove_file(const std::string& path);
// Removes `path` if it can; for clean-up on a path already failing.
void discard_file(const std::string& path) noexcept;
// Content and permission bits; a missing source creates nothing.
void copy_with_mode(const std::string& source, const std::string& target);

}  // namespace vemo::scriptor
