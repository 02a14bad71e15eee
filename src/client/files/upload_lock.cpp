#include "client/files/upload_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

#include "common/errors.hpp"
#include "common/fs.hpp"

namespace vemo::files {
namespace {

// False when someone else holds the lock.
bool try_lock(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EWOULDBLOCK) return false;
    throw IoError(errno);
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

void upload_conflict(const std::string& target) {
    const py::str text = fs::to_text(target);
    PyErr_Format(PyExc_BlockingIOError, "another upload to %R is in progress", text.ptr());
    throw py::error_already_set();
}

std::optional<FileDescriptor> lock_present(int dir, const std::string& name, const std::string& target) {
    // Examined through O_PATH first: a FIFO or device planted under the
    // name is never opened.  Whoever owns the file counts: an upload that
    // is about to finish has already given it to its owner.
    const FileDescriptor where(::openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!where.valid() || !S_ISREG(where.status().st_mode)) return std::nullopt;
    FileDescriptor file(::open(fs::descriptor_path(where.get()).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid()) return std::nullopt;
    if (!try_lock(file.get())) upload_conflict(target);
    return file;
}

void lock_opened(const FileDescriptor& temp, std::optional<FileDescriptor> present, int dir,
                 const std::string& name, const std::string& target) {
    present.reset();
    if (!try_lock(temp.get())) upload_conflict(target);
    // A rival that replaced the name meanwhile has the newer file.
    struct stat named;
    if (::fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(named, temp.status()))
        upload_conflict(target);
}

}  // namespace vemo::files
