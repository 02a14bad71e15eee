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

double change_time(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) throw IoError(errno, path);
    return static_cast<double>(st.st_ctim.tv_sec) + st.st_ctim.tv_nsec * 1e-9;
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
        // A half-written copy would be taken for a finished one later; the
        // copy's own failure is the one reported.
        try {
            remove_entry(AT_FDCWD, target);
        } catch (const IoError&) {
        }
        throw IoError(e.code, target);
    }
}

}  // namespace vemo::fs
