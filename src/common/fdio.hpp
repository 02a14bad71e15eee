// Plain descriptors: ownership and complete writes.  Nothing here touches
// the interpreter; failures throw IoError with the system's errno.
#pragma once

#include <sys/stat.h>

#include <cstddef>

namespace vemo {

// An open descriptor, closed when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor& operator=(FileDescriptor&&) = delete;
    ~FileDescriptor();

    int get() const { return fd_; }
    struct stat status() const;

private:
    int fd_;
};

// Writes all `n` bytes, retrying short writes and interrupted calls.
void write_all(int fd, const char* buf, size_t n);

}  // namespace vemo
