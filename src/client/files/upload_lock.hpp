// One upload per target at a time.  Whoever works on a temp file (an
// upload appending to it, a check that may delete it) holds an exclusive
// lock on it meanwhile; a second upload to the same target finds it held
// and fails with a report naming the conflict instead of writing into the
// first one's bytes.  The locks are never waited for.
#pragma once

#include <optional>
#include <string>

#include "client/files/files.hpp"
#include "common/fdio.hpp"

namespace vemo::files {

// Locks the regular file that `name` in `dir` (AT_FDCWD: a path) is now,
// when there is one, for as long as the result lives.  Raises the conflict
// when another upload holds it.  Needs the interpreter lock.
std::optional<FileDescriptor> lock_present(int dir, const std::string& name, const std::string& target);

// Makes `temp`, just opened under `name` in `dir`, this upload's alone:
// locked, and still what the name leads to.  `present` (what lock_present
// found) is let go first.  Raises the conflict otherwise.  Needs the
// interpreter lock.
void lock_opened(const FileDescriptor& temp, std::optional<FileDescriptor> present, int dir,
                 const std::string& name, const std::string& target);

// The failure of an upload that finds `target` taken by another one.
[[noreturn]] void upload_conflict(const std::string& target);

}  // namespace vemo::files
