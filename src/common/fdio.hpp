// Plain descriptors and C library objects: ownership, and complete writes.  Nothing here touches
// the interpreter; failures throw IoError with the system's errno.
#pragma once

#include <sys/stat.h>

#include <cstddef>

namespace vemo {

// An open descriptor, closed when it goes out of scope; -1 holds none.
class FileDescriptor {
public:
    FileDescriptor() : fd_(-1) {}
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes the descriptor held, if any, and holds `fd` instead.
    void reset(int fd = -1) noexcept;
    // Gives up ownership without closing.
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    struct stat status() const;

private:
    int fd_;
};

// For std::unique_ptr over a C library's objects, e.g. Deleter<SSL_free>.
template <auto Free>
struct Deleter {
    template <class T>
    void operator()(T* p) const {
        Free(p);
    }
};

// Writes all `n` bytes, retrying short writes and interrupted calls.
void write_all(int fd, const char* buf, size_t n);

}  // namespace vemo
