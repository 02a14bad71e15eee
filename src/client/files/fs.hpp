// File-system primitives of the file service.  None of them touches the
// interpreter, so they may run with the interpreter lock released; failures
// throw IoError with the system's errno.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

#include "common/fdio.hpp"

namespace vemo::files {

using vemo::FileDescriptor;
using vemo::write_all;

// Status following links; nothing when the path cannot be examined, which
// is what "does not exist" means throughout the file service.
std::optional<struct stat> status(const std::string& path);
// Status of the name itself, a link's rather than its target's.
std::optional<struct stat> entry_status(const std::string& path);
// A regular file of this process's user with no other name: something the
// agent wrote itself, not a user's file or a link to one of root's.
bool agents_own(const struct stat& st);

// Opens for reading what `path` names when `accept` takes its status;
// nothing when the path is missing or refused.  What is examined is what
// gets opened, so a FIFO or device swapped in meanwhile is never opened
// (where reading could wait for ever, or opening alone has effects).
std::optional<FileDescriptor> open_examined(const std::string& path, bool (*accept)(const struct stat&));
// The same for regular files only: anything else could wait for ever (a
// FIFO) or never end (a device).
std::optional<FileDescriptor> open_regular(const std::string& path);
// The directory itself, for the *at calls below: names inside it then
// stay in it however its path changes meanwhile.
FileDescriptor open_directory(const std::string& path);
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
// A path naming the file open on `fd` itself, whatever happens to its names.
std::string descriptor_path(int fd);

// Up to `n` bytes from `offset`, fewer only at the end of the file.
size_t read_at(int fd, char* buf, size_t n, off_t offset);
std::string read_at(int fd, size_t n, off_t offset);

// The path and every missing parent, with the process's default permissions.
void make_dirs(const std::string& path);
// Removes a name; a name that is already gone is not an error.
void remove_name(const std::string& path);
void remove_entry(int dir, const std::string& name);
void rename_entry(int dir, const std::string& from, const std::string& to);

}  // namespace vemo::files
