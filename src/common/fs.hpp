// The file system as the agent and its modules use it: paths built by plain
// concatenation, relative to the working directory, never normalised.
// Failures throw IoError, which reaches the interpreter as OSError (naming
// the path where one is given).  Only the encoders touch the interpreter;
// everything else may run with the interpreter lock released.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/fdio.hpp"
#include "common/pybind.hpp"

namespace vemo::fs {

// Between the interpreter's text and the system's bytes, with the
// interpreter's file-system encoding (names that are not UTF-8 survive).
std::string to_path(const py::handle& text);
py::str to_text(std::string_view path);
// A path a request names, as text or bytes; one with a NUL byte is refused
// rather than cut short.
std::string request_path(const py::handle& path);

// Both follow symbolic links; a path the system cannot name (one holding
// a NUL byte) exists nowhere.
bool exists(const std::string& path);
bool is_directory(const std::string& path);
// Entry names in the order the system returns them, "." and ".." left out.
std::vector<std::string> list_directory(const std::string& path);

// Status of entry `name` of `dir` itself, a link's rather than its
// target's; nothing when there is no such entry.
std::optional<struct stat> entry_status(int dir, const std::string& name);
// A regular file of this process's user with no other name: something the
// agent wrote itself, not a user's file or a link to one of root's.
bool agents_own(const struct stat& st);

// Opens for reading what `path` (relative to `dir`) names when `accept`
// takes its status; nothing when the path is missing or refused (see
// open_unplanted).  What is examined is what gets opened, so a FIFO or
// device swapped in meanwhile is never opened (where reading could wait
// for ever, or opening alone has effects).
std::optional<FileDescriptor> open_examined(const std::string& path, bool (*accept)(const struct stat&),
                                            int dir = AT_FDCWD);
// The same for regular files only: anything else could wait for ever (a
// FIFO) or never end (a device).
std::optional<FileDescriptor> open_regular(const std::string& path, int dir = AT_FDCWD);
// The directory an O_PATH descriptor holds, opened for reading its entries.
FileDescriptor open_listable(int fd);
// Opens entry `name` of `dir` for appending only when it is a regular file
// of this process's user with no other name (something the agent wrote
// itself); anything else found there is removed, never followed.  Nothing
// when no such file is left.
std::optional<FileDescriptor> open_own_leftover(int dir, const std::string& name);
// Creates entry `name` of `dir` readable by the owner alone; fails when the
// name is taken, by a symbolic link too.
FileDescriptor create_private(int dir, const std::string& name);
// Gives the file what a plain open() would have created it with: 0666
// narrowed by the process's umask.
void give_default_mode(int fd);
// A path naming the file open on `fd` itself, whatever happens to its
// names: through this process's id rather than /proc/self, so that a child
// process (a helper running chmod) names the same file.
std::string descriptor_path(int fd);

// Paths are walked a component at a time (from `dir` when relative), and a
// symbolic link at any depth is followed only when root made it or when
// its owner also owns what it leads to: a local user's link never leads
// the agent, root, to anyone else's files.
// An O_PATH descriptor of what `path` names; nothing when it is missing,
// or leads through a link that rule refuses.
std::optional<FileDescriptor> open_unplanted(const std::string& path, int dir = AT_FDCWD);
// The same, creating each missing directory of the path in turn, in the
// directory opened before it: the last with `mode`, the others 0777, each
// narrowed by the umask.  What already stands at the end is taken as it
// is, a file too, and so is a directory another makes meanwhile.  Fails
// with EACCES when the path leads through a refused link, or a link of a
// user's to nothing.
FileDescriptor make_dirs(const std::string& path, mode_t mode = 0777);
// For paths that are handed on by name: false when the part of `path`
// that exists leads through a refused link (or a user's link to nothing).
bool vouched_as_far_as_it_exists(const std::string& path);

// Up to `n` bytes from `offset`, fewer only at the end of the file.
size_t read_at(int fd, char* buf, size_t n, off_t offset);
std::string read_at(int fd, size_t n, off_t offset);

// Removes a name (a path, for AT_FDCWD); a name that is already gone is
// not an error.
void remove_entry(int dir, const std::string& name);
void rename_entry(int dir, const std::string& from, const std::string& to);

// Changes made for plugin code, whose failures name the path as a Python
// implementation's would.
// Status-change time in seconds, fractional.
double change_time(const std::string& path);
// Content and permission bits; a missing source creates nothing.
void copy_with_mode(const std::string& source, const std::string& target);

}  // namespace vemo::fs
