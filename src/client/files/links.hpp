// Reaching a file by a path whose last component may be a symbolic link
// that a local user planted in a directory of theirs.
#pragma once

#include <optional>
#include <string>

#include "common/fdio.hpp"

namespace vemo::files {

// An O_PATH descriptor of what `path` names.  Links in its last component
// are followed only when each was made by root or by the owner of the file
// they lead to (the kernel's protected_symlinks rule, for a follower that
// is root): nothing when the path leads through any other link, or nowhere.
std::optional<FileDescriptor> open_unplanted(const std::string& path);

}  // namespace vemo::files
