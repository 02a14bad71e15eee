#include "common/fdio.hpp"

#include <unistd.h>

#include <cerrno>

#include "common/errors.hpp"

namespace vemo {

void FileDescriptor::reset(int fd) noexcept {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
}

struct stat FileDescriptor::status() const {
    struct stat st;
    if (::fstat(fd_, &st) != 0) throw IoError(errno);
    return st;
}

void write_all(int fd, const char* buf, size_t n) {
    while (n > 0) {
        const ssize_t wrote = ::write(fd, buf, n);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote < 0) throw IoError(errno);
        buf += wrote;
        n -= static_cast<size_t>(wrote);
    }
}

}  // namespace vemo
