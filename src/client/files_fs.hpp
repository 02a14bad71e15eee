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

// Opens a regular file for reading; nothing when the path is missing or
// names anything else, whose reading could wait for ever (a FIFO) or never
// end (a device).
std::optional<FileDescriptor> open_regular(const std::string& path);
// Opens for appending, creating the file only when `create` is set; never
// waits for the reader of a FIFO.
FileDescriptor open_for_appending(const std::string& path, bool create);
// Creates a new, empty file; fails when the name is taken.
FileDescriptor create_new(const std::string& path);

// Up to `n` bytes from `offset`, fewer only at the end of the file.
size_t read_at(int fd, char* buf, size_t n, off_t offset);
std::string read_at(int fd, size_t n, off_t offset);

// The path and every missing parent, with the process's default permissions.
void make_dirs(const std::string& path);
// Removes a name; a name that is already gone is not an error.
void remove_name(const std::string& path);
void rename_over(const std::string& from, const std::string& to);

}  // namespace vemo::files
