#include "client/files_fs.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/errors.hpp"

namespace vemo::files {
namespace {

constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask, as open() would
constexpr mode_t kNewDirMode = 0777;

FileDescriptor open_checked(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, kNewFileMode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw IoError(errno);
    return FileDescriptor(fd);
}

// A parent that exists as something else makes the next level fail with
// the system's own complaint, so only the last level is examined.
void make_parent(const std::string& path) {
    if (::mkdir(path.c_str(), kNewDirMode) != 0 && errno != EEXIST) throw IoError(errno);
}

}  // namespace

std::optional<struct stat> status(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return st;
}

std::optional<FileDescriptor> open_regular(const std::string& path) {
    const auto st = status(path);
    if (!st || !S_ISREG(st->st_mode)) return std::nullopt;
    // It may have been swapped for something else since the status was read.
    FileDescriptor file = open_checked(path, O_RDONLY | O_NONBLOCK);
    if (!S_ISREG(file.status().st_mode)) return std::nullopt;
    return file;
}

FileDescriptor open_for_appending(const std::string& path, bool create) {
    return open_checked(path, O_WRONLY | O_APPEND | O_NONBLOCK | (create ? O_CREAT : 0));
}

FileDescriptor create_new(const std::string& path) {
    return open_checked(path, O_WRONLY | O_CREAT | O_EXCL);
}

size_t read_at(int fd, char* buf, size_t n, off_t offset) {
    size_t have = 0;
    while (have < n) {
        const ssize_t got = ::pread(fd, buf + have, n - have, offset + static_cast<off_t>(have));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw IoError(errno);
        if (got == 0) break;
        have += static_cast<size_t>(got);
    }
    return have;
}

std::string read_at(int fd, size_t n, off_t offset) {
    std::string out(n, '\0');
    out.resize(read_at(fd, out.data(), n, offset));
    return out;
}

void make_dirs(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        if (path[slash - 1] != '/') make_parent(path.substr(0, slash));
    if (::mkdir(path.c_str(), kNewDirMode) == 0) return;
    const int err = errno;
    const auto st = status(path);
    if (err != EEXIST || !st || !S_ISDIR(st->st_mode)) throw IoError(err);
}

void remove_name(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw IoError(errno);
}

void rename_over(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) throw IoError(errno);
}

}  // namespace vemo::files
