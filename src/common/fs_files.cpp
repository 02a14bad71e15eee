// Descriptors and names for the file service: what is examined is what gets
// opened, and names are created only where nothing stands.
#include "common/fs.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "common/errors.hpp"

namespace vemo::fs {
namespace {

constexpr mode_t kCreatedMode = 0666;  // narrowed by the umask, as open() would
constexpr mode_t kPrivateMode = 0600;

std::optional<FileDescriptor> try_open(int dir, const std::string& path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::openat(dir, path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::nullopt;
    return FileDescriptor(fd);
}

FileDescriptor open_checked(int dir, const std::string& path, int flags, mode_t mode = 0) {
    std::optional<FileDescriptor> file = try_open(dir, path, flags, mode);
    if (!file) throw IoError(errno);
    return std::move(*file);
}

void change_mode(int fd, mode_t mode) {
    if (::fchmod(fd, mode) != 0) throw IoError(errno);
}

// From /proc: asking umask() itself means setting it, which would race
// with the threads that create files meanwhile.
mode_t process_umask() {
    std::ifstream process_status("/proc/self/status");
    for (std::string line; std::getline(process_status, line);)
        if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
    throw IoError(ENOTSUP);
}

bool is_regular(const struct stat& st) {
    return S_ISREG(st.st_mode);
}

}  // namespace

std::optional<struct stat> entry_status(int dir, const std::string& name) {
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return st;
}

bool agents_own(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && st.st_nlink == 1;
}

std::optional<FileDescriptor> open_examined(const std::string& path, bool (*accept)(const struct stat&),
                                            int dir) {
    // O_PATH opens nothing a device driver or FIFO would notice.
    const std::optional<FileDescriptor> where = open_unplanted(path, dir);
    if (!where || !accept(where->status())) return std::nullopt;
    return open_checked(AT_FDCWD, descriptor_path(where->get()), O_RDONLY | O_NONBLOCK | O_NOCTTY);
}

std::optional<FileDescriptor> open_regular(const std::string& path, int dir) {
    return open_examined(path, is_regular, dir);
}

FileDescriptor open_listable(int fd) {
    return open_checked(fd, ".", O_RDONLY | O_DIRECTORY);
}

std::optional<FileDescriptor> open_own_leftover(int dir, const std::string& name) {
    std::optional<FileDescriptor> file = try_open(dir, name, O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK);
    if (!file && errno == ENOENT) return std::nullopt;
    if (file) {
        if (agents_own(file->status())) {
            // Leftovers of older agents were readable by everyone.
            change_mode(file->get(), kPrivateMode);
            return file;
        }
    }
    // A link (ELOOP), a FIFO or socket (ENXIO), a file of someone else's:
    // the name itself goes, whatever it leads to stays.
    remove_entry(dir, name);
    return std::nullopt;
}

FileDescriptor create_private(int dir, const std::string& name) {
    return open_checked(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, kPrivateMode);
}

void give_default_mode(int fd) {
    change_mode(fd, kCreatedMode & ~process_umask());
}

std::string descriptor_path(int fd) {
    return "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd);
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

void remove_entry(int dir, const std::string& name) {
    if (::unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT) throw IoError(errno);
}

void rename_entry(int dir, const std::string& from, const std::string& to) {
    if (::renameat(dir, from.c_str(), dir, to.c_str()) != 0) throw IoError(errno);
}

}  // namespace vemo::fs
