// Changes made on behalf of plugin code: each failure names its path.
#include "common/fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/errors.hpp"

namespace vemo::fs {
namespace {

void copy_content(int from, int to) {
    char buf[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(from, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw IoError(errno);
        if (n == 0) return;
        write_all(to, buf, static_cast<size_t>(n));
    }
}

}  // namespace

void make_dirs(const std::string& path, unsigned mode) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (::mkdir(parent.c_str(), 0777) != 0 && errno != EEXIST) throw IoError(errno, parent);
    }
    // Another object of the same plugin may have made it meanwhile.
    if (::mkdir(path.c_str(), mode) != 0 && !(errno == EEXIST && exists(path))) {
        throw IoError(errno, path);
    }
}

double change_time(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) throw IoError(errno, path);
    return static_cast<double>(st.st_ctim.tv_sec) + st.st_ctim.tv_nsec * 1e-9;
}

void remove_file(const std::string& path) {
    if (::unlink(path.c_str()) != 0) throw IoError(errno, path);
}

void discard_file(const std::string& path) noexcept {
    ::unlink(path.c_str());
}

void copy_with_mode(const std::string& source, const std::string& target) {
    FileDescriptor from(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (from.get() < 0 || ::fstat(from.get(), &st) != 0) throw IoError(errno, source);
    FileDescriptor to(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (to.get() < 0) throw IoError(errno, target);
    try {
        copy_content(from.get(), to.get());
        if (::fchmod(to.get(), st.st_mode & 07777) != 0) throw IoError(errno);
    } catch (const IoError& e) {
        // A half-written copy would be taken for a finished one later.
        discard_file(target);
        throw IoError(e.code, target);
    }
}

}  // namespace vemo::fs
